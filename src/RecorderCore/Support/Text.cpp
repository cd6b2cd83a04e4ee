#include "Support/Text.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace brindlow {

std::string iso8601(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    int64_t secs = ms / 1000;
    int64_t millis = ms % 1000;
    if (millis < 0) {
        millis += 1000;
        secs -= 1;
    }
    const time_t t = static_cast<time_t>(secs);
    tm parts{};
    gmtime_r(&t, &parts);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis));
    return buffer;
}

std::string iso8601Now() { return iso8601(std::chrono::system_clock::now()); }

std::vector<uint8_t> secureRandomBytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    size_t filled = 0;
    while (filled < count) {
        const ssize_t n = getrandom(bytes.data() + filled, count - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("getrandom failed");
        }
        filled += static_cast<size_t>(n);
    }
    return bytes;
}

std::string randomUUID() {
    auto b = secureRandomBytes(16);
    b[6] = (b[6] & 0x0F) | 0x40;  // version 4
    b[8] = (b[8] & 0x3F) | 0x80;  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHex[b[i] >> 4]);
        out.push_back(kHex[b[i] & 0x0F]);
    }
    return out;
}

namespace {

constexpr std::string_view kStandard = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kURLSafe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::array<int8_t, 256> decodeTable(std::string_view alphabet) {
    std::array<int8_t, 256> table;
    table.fill(-1);
    for (size_t i = 0; i < alphabet.size(); ++i) table[static_cast<uint8_t>(alphabet[i])] = int8_t(i);
    return table;
}

}  // namespace

std::string base64Encode(std::span<const uint8_t> bytes, Base64Alphabet alphabet, bool padded) {
    const std::string_view chars = alphabet == Base64Alphabet::standard ? kStandard : kURLSafe;
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        out.push_back(chars[v >> 18 & 63]);
        out.push_back(chars[v >> 12 & 63]);
        out.push_back(chars[v >> 6 & 63]);
        out.push_back(chars[v & 63]);
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (rest == 2) v |= uint32_t(bytes[i + 1]) << 8;
        out.push_back(chars[v >> 18 & 63]);
        out.push_back(chars[v >> 12 & 63]);
        if (rest == 2) out.push_back(chars[v >> 6 & 63]);
        if (padded) out.append(rest == 1 ? "==" : "=");
    }
    return out;
}

std::string base64Encode(std::string_view bytes, Base64Alphabet alphabet, bool padded) {
    return base64Encode(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), alphabet,
                        padded);
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text, Base64Alphabet alphabet,
                                                 bool paddingRequired) {
    static const auto kStandardTable = decodeTable(kStandard);
    static const auto kURLSafeTable = decodeTable(kURLSafe);
    const auto& table = alphabet == Base64Alphabet::standard ? kStandardTable : kURLSafeTable;

    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    std::string_view body = text.substr(0, text.size() - padding);
    if (padding > 0 || paddingRequired) {
        if (text.size() % 4 != 0) return std::nullopt;
    }
    if (body.size() % 4 == 1) return std::nullopt;
    if (padding > 0 && padding != (4 - body.size() % 4) % 4) return std::nullopt;

    std::vector<uint8_t> out;
    out.reserve(body.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = 0;
    for (char c : body) {
        const int8_t v = table[static_cast<uint8_t>(c)];
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;  // stray low bits
    return out;
}

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// pchar of RFC 3986 plus "/" as the separator.
bool isPathCharacter(unsigned char c) {
    if (isUnreserved(c)) return true;
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
        case ';': case '=': case ':': case '@': case '/':
            return true;
        default:
            return false;
    }
}

template <typename Keep>
std::string percentEncode(std::string_view text, Keep keep) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (keep(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string percentEncodePath(std::string_view text) { return percentEncode(text, isPathCharacter); }

std::string percentEncodeQueryComponent(std::string_view text) { return percentEncode(text, isUnreserved); }

std::optional<std::string> percentDecode(std::string_view text, bool plusAsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(static_cast<char>(hi << 4 | lo));
            i += 2;
        } else if (c == '+' && plusAsSpace) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(separator, start), text.size());
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

namespace {

// Decodes one code point at `i`; returns its length, or 0 for an invalid sequence.
size_t decodeUTF8(std::string_view s, size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    size_t len;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

// Code points that attach to the character before them.
bool extendsPrevious(char32_t cp) {
    return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x0483 && cp <= 0x0489) ||
           (cp >= 0x0591 && cp <= 0x05BD) || (cp >= 0x0610 && cp <= 0x061A) ||
           (cp >= 0x064B && cp <= 0x065F) || (cp >= 0x0900 && cp <= 0x0903) ||
           (cp >= 0x093A && cp <= 0x094F) || (cp >= 0x1AB0 && cp <= 0x1AFF) ||
           (cp >= 0x1DC0 && cp <= 0x1DFF) || cp == 0x200C || cp == 0x200D ||
           (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0x3099 && cp <= 0x309A) ||
           (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xFE20 && cp <= 0xFE2F) ||
           (cp >= 0x1F3FB && cp <= 0x1F3FF) || (cp >= 0xE0020 && cp <= 0xE007F) ||
           (cp >= 0xE0100 && cp <= 0xE01EF);
}

bool isRegionalIndicator(char32_t cp) { return cp >= 0x1F1E6 && cp <= 0x1F1FF; }

// Byte offsets where each character starts, plus the end.
template <typename Visit>
void forEachCharacter(std::string_view s, Visit visit) {
    size_t i = 0;
    char32_t previous = 0;
    bool afterJoiner = false;
    size_t regionalRun = 0;
    while (i < s.size()) {
        char32_t cp = 0xFFFD;
        size_t len = decodeUTF8(s, i, cp);
        if (len == 0) len = 1;
        bool joins = i > 0 && (extendsPrevious(cp) || afterJoiner);
        if (isRegionalIndicator(cp)) {
            joins = joins || (isRegionalIndicator(previous) && regionalRun % 2 == 1);
            regionalRun = isRegionalIndicator(previous) ? regionalRun + 1 : 1;
        } else {
            regionalRun = 0;
        }
        if (!joins && !visit(i)) return;
        afterJoiner = cp == 0x200D;
        previous = cp;
        i += len;
    }
}

}  // namespace

std::string sanitizeUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp;
        const size_t len = decodeUTF8(bytes, i, cp);
        if (len == 0) {
            out.append("\xEF\xBF\xBD");
            i += 1;
        } else {
            out.append(bytes.substr(i, len));
            i += len;
        }
    }
    return out;
}

size_t characterCount(std::string_view utf8) {
    size_t count = 0;
    forEachCharacter(utf8, [&](size_t) {
        ++count;
        return true;
    });
    return count;
}

std::string characterPrefix(std::string_view utf8, size_t count) {
    size_t seen = 0;
    size_t cut = utf8.size();
    forEachCharacter(utf8, [&](size_t start) {
        if (seen == count) {
            cut = start;
            return false;
        }
        ++seen;
        return true;
    });
    return std::string(utf8.substr(0, cut));
}

namespace {

bool isWhitespace(char32_t cp) {
    return cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

}  // namespace

std::string trimWhitespace(std::string_view s) {
    size_t firstKept = s.size();  // start of the first non-space character
    size_t lastKeptEnd = 0;       // end of the last one
    for (size_t i = 0; i < s.size();) {
        char32_t cp = 0xFFFD;
        size_t len = decodeUTF8(s, i, cp);
        if (len == 0) len = 1;
        if (!isWhitespace(cp)) {
            if (firstKept == s.size()) firstKept = i;
            lastKeptEnd = i + len;
        }
        i += len;
    }
    if (firstKept == s.size()) return {};
    return std::string(s.substr(firstKept, lastKeptEnd - firstKept));
}

}  // namespace brindlow
