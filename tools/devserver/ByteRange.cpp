#include "ByteRange.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace brindlow::devserver {

namespace {

// Decimal digits only; nothing on overflow or when empty.
std::optional<int64_t> number(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

ByteRange ByteRange::parse(std::string_view header, int64_t size) {
    const ByteRange malformed{Kind::malformed};
    header = trimmed(header);
    if (header.empty()) return {};
    constexpr std::string_view unit = "bytes=";
    if (header.size() < unit.size() ||
        !std::equal(unit.begin(), unit.end(), header.begin(),
                    [](char u, char c) { return u == std::tolower(static_cast<unsigned char>(c)); }))
        return malformed;
    const std::string_view bounds = trimmed(header.substr(unit.size()));
    const size_t dash = bounds.find('-');
    if (dash == std::string_view::npos || bounds.find(',') != std::string_view::npos) return malformed;
    const std::string_view left = bounds.substr(0, dash), right = bounds.substr(dash + 1);
    if (left.empty()) {
        const auto suffix = number(right);
        if (!suffix) return malformed;
        if (*suffix == 0 || size == 0) return {Kind::unsatisfiable};
        return {Kind::part, std::max<int64_t>(0, size - *suffix), size - 1};
    }
    const auto first = number(left);
    if (!first) return malformed;
    std::optional<int64_t> last;
    if (!right.empty()) {
        last = number(right);
        if (!last || *last < *first) return malformed;
    }
    if (*first >= size) return {Kind::unsatisfiable};
    return {Kind::part, *first, std::min(last.value_or(size - 1), size - 1)};
}

}  // namespace brindlow::devserver
