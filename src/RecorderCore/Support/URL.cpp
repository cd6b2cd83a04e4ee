#include "Support/URL.h"

#include <algorithm>
#include <cctype>

#include "Support/Text.h"

namespace brindlow {
namespace {

bool isHostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Characters allowed unescaped in a path or query (RFC 3986 pchar, "/", "?", and "%").
bool isURLCharacter(char c) {
    if (std::isalnum(static_cast<unsigned char>(c))) return true;
    return std::string_view("-._~!$&'()*+,;=:@/?%").find(c) != std::string_view::npos;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    URL url;
    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return std::nullopt;
    url.scheme = std::string(text.substr(0, schemeEnd));
    std::transform(url.scheme.begin(), url.scheme.end(), url.scheme.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (url.scheme != "http" && url.scheme != "https") return std::nullopt;
    std::string_view rest = text.substr(schemeEnd + 3);
    const size_t authorityEnd = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authorityEnd);
    rest = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    if (authority.find('@') != std::string_view::npos) return std::nullopt;  // no credentials
    const size_t colon = authority.rfind(':');
    std::string_view host = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
        const std::string_view portText = authority.substr(colon + 1);
        if (portText.empty() || portText.size() > 5) return std::nullopt;
        int port = 0;
        for (char c : portText) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
            port = port * 10 + (c - '0');
        }
        if (port < 1 || port > 65535) return std::nullopt;
        url.port = port;
    }
    if (host.empty() || !std::all_of(host.begin(), host.end(), isHostCharacter)) return std::nullopt;
    url.host = std::string(host);
    if (const size_t hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    const size_t question = rest.find('?');
    url.path = std::string(rest.substr(0, question));
    if (url.path.empty()) url.path = "/";
    if (question != std::string_view::npos) url.query = std::string(rest.substr(question + 1));
    if (!std::all_of(url.path.begin(), url.path.end(), isURLCharacter) ||
        !std::all_of(url.query.begin(), url.query.end(), isURLCharacter))
        return std::nullopt;
    return url;
}

std::string URL::origin() const {
    return scheme + "://" + host + (port ? ":" + std::to_string(*port) : "");
}

std::string URL::text() const { return origin() + path + (query.empty() ? "" : "?" + query); }

std::string appendingPath(std::string_view base, std::string_view relative) {
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
    return std::string(base) + "/" + percentEncodePath(relative);
}

}  // namespace brindlow
