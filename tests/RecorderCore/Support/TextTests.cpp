#include "Support/Text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sys/stat.h>

#include "Support/AtomicFile.h"

namespace brindlow {
namespace {

TEST(TimeStamps, AreUTCWithMilliseconds) {
    using namespace std::chrono;
    const sys_time<milliseconds> t = sys_days{2026y / 1 / 31} + 9h + 15min + 2s + 123ms;
    EXPECT_EQ(iso8601(t), "2026-01-31T09:15:02.123Z");
    EXPECT_TRUE(std::regex_match(iso8601Now(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
}

TEST(UUIDs, AreLowerCaseVersionFourAndDistinct) {
    std::set<std::string> seen;
    const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (int i = 0; i < 200; ++i) EXPECT_TRUE(std::regex_match(*seen.insert(randomUUID()).first, form));
    EXPECT_EQ(seen.size(), 200u);
}

TEST(Base64Coding, RoundTripsBothAlphabetsAndDecodesStrictly) {
    const std::vector<uint8_t> bytes{0xFB, 0xFF, 0xBF, 0x00, 0x10};
    EXPECT_EQ(base64Encode(bytes), "+/+/ABA=");
    EXPECT_EQ(base64Encode(bytes, Base64Alphabet::urlSafe, false), "-_-_ABA");
    EXPECT_EQ(base64Decode("+/+/ABA="), bytes);
    EXPECT_EQ(base64Decode("-_-_ABA", Base64Alphabet::urlSafe, false), bytes);
    EXPECT_EQ(base64Decode(""), std::vector<uint8_t>{});
    for (const char* bad : {"Zg=", "Zg", "Z===", "Zm9v=", "Zh==", "Zm 9v", "Zm9v\n", "-_-_", "Z", "=Zg="})
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    // Missing padding is fine only when allowed; wrong padding never is.
    EXPECT_TRUE(base64Decode("Zg", Base64Alphabet::standard, false).has_value());
    EXPECT_EQ(base64Decode("Zg=", Base64Alphabet::standard, false), std::nullopt);
    EXPECT_EQ(base64Decode("Zm9vY", Base64Alphabet::standard, false), std::nullopt);
}

TEST(URLText, PercentEncodingKeepsWhatItMayAndSplittingDropsEmptyPieces) {
    EXPECT_EQ(percentEncodePath("screen-recorder/view/a b?c#d%e"), "screen-recorder/view/a%20b%3Fc%23d%25e");
    EXPECT_EQ(percentEncodePath("üx"), "%C3%BCx");
    EXPECT_EQ(percentEncodeQueryComponent("a+b/c=d&e~"), "a%2Bb%2Fc%3Dd%26e~");
    EXPECT_EQ(percentDecode("a%2Bb+c", true), "a+b c");
    EXPECT_EQ(percentDecode("a+b"), "a+b");
    EXPECT_EQ(percentDecode("%zz"), std::nullopt);
    EXPECT_EQ(percentDecode("abc%4"), std::nullopt);
    using V = std::vector<std::string_view>;
    EXPECT_EQ(splitDroppingEmpty("a..b.c", '.'), (V{"a", "b", "c"}));
}

TEST(UTF8Text, InvalidBytesAreReplacedAndCharactersCountedAndCut) {
    EXPECT_EQ(sanitizeUTF8("ok\xFF"), "ok\xEF\xBF\xBD");
    EXPECT_EQ(sanitizeUTF8("\xC3"), "\xEF\xBF\xBD");              // cut sequence
    EXPECT_EQ(sanitizeUTF8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
    EXPECT_EQ(sanitizeUTF8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate

    EXPECT_EQ(characterCount("Größe"), 5u);
    EXPECT_EQ(characterCount("e\u0301"), 1u);
    EXPECT_EQ(characterCount("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7"), 2u);  // two flags
    EXPECT_EQ(characterCount("\U0001F468\u200D\U0001F469"), 1u);  // joined emoji
    EXPECT_EQ(characterPrefix("Größe", 3), "Grö");
    EXPECT_EQ(characterPrefix("ae\u0301b", 2), "ae\u0301");
    EXPECT_EQ(trimWhitespace("\u00A0 a b \t\n"), "a b");
}

TEST(AtomicFiles, ReplaceContentsWithTheRequestedMode) {
    const auto dir = std::filesystem::temp_directory_path() / ("brindlow-atomic-" + randomUUID());
    std::filesystem::create_directories(dir);
    const auto file = dir / "state.json";
    writeFileAtomically(file, "first", 0600);
    writeFileAtomically(file, "second", 0600);
    EXPECT_EQ(readFile(file), "second");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary files are left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    EXPECT_THROW(writeFileAtomically(dir / "missing" / "x", "y"), std::system_error);
    EXPECT_EQ(readFile(dir / "missing"), std::nullopt);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace brindlow
