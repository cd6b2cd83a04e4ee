#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brindlow {

// An absolute http(s) URL split into its parts. Only what the recorder sends and
// receives needs to parse: scheme, host, optional port, path, optional query.
struct URL {
    std::string scheme;  // "http" or "https", lower case
    std::string host;
    std::optional<int> port;
    std::string path;   // "/" at least
    std::string query;  // without "?", may be empty

    // Nothing for anything that is not a well-formed absolute http(s) URL.
    static std::optional<URL> parse(std::string_view text);
    std::string text() const;
    // The origin: scheme, host and port.
    std::string origin() const;
};

// `base` with `relative` appended to its path with exactly one "/" between them;
// characters that may not stand in a path are percent-encoded, "/" stays a separator.
std::string appendingPath(std::string_view base, std::string_view relative);

}  // namespace brindlow
