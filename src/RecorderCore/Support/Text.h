#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brindlow {

// "2026-01-31T09:15:02.123Z": UTC with a millisecond fraction (truncated).
std::string iso8601(std::chrono::system_clock::time_point time);
std::string iso8601Now();

// A random (version 4) UUID in lower-case canonical form.
std::string randomUUID();
// Bytes from the kernel's secure random source (getrandom).
std::vector<uint8_t> secureRandomBytes(size_t count);

enum class Base64Alphabet { standard, urlSafe };
std::string base64Encode(std::span<const uint8_t> bytes, Base64Alphabet alphabet = Base64Alphabet::standard,
                         bool padded = true);
std::string base64Encode(std::string_view bytes, Base64Alphabet alphabet = Base64Alphabet::standard,
                         bool padded = true);
// Strict: any character outside the alphabet, misplaced padding, non-zero trailing
// bits or an impossible length gives nothing. With `paddingRequired` false a
// missing "=" tail is accepted (but a present one must still be right).
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text,
                                                 Base64Alphabet alphabet = Base64Alphabet::standard,
                                                 bool paddingRequired = true);

// Percent-encodes everything a URL path may not hold; "/" stays a separator.
std::string percentEncodePath(std::string_view text);
// Percent-encodes everything but the unreserved characters (for one query name or value).
std::string percentEncodeQueryComponent(std::string_view text);
// Decodes %XX escapes; with `plusAsSpace` a "+" becomes a space. Nothing for a bad escape.
std::optional<std::string> percentDecode(std::string_view text, bool plusAsSpace = false);

// The pieces of `text` between `separator`s, empty pieces dropped ("a..b" gives a, b).
std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char separator);

// UTF-8 text with every invalid sequence replaced by U+FFFD.
std::string sanitizeUTF8(std::string_view bytes);
// The number of user-perceived characters (code points, with combining marks,
// variation selectors, joiners and regional-indicator pairs kept with their base).
size_t characterCount(std::string_view utf8);
// The first `count` characters, counted as above. The input must be valid UTF-8.
std::string characterPrefix(std::string_view utf8, size_t count);
// Trims ASCII and Unicode white space from both ends.
std::string trimWhitespace(std::string_view utf8);

}  // namespace brindlow
