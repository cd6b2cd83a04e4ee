#include "TelemetryRecords.h"

#include <gtest/gtest.h>

namespace brindlow {
namespace {

using nlohmann::json;

TEST(TelemetryRecordCoding, WritesBareValuesAndLeavesOutWhatIsAbsent) {
    EXPECT_TRUE(TelemetryValue::fromJSON(json::parse("true")).isBool());
    EXPECT_TRUE(TelemetryValue::fromJSON(json::parse("1")).isNumber());
    EXPECT_TRUE(TelemetryValue::fromJSON(json::parse("\"1\"")).isString());
    for (const char* bad : {"null", "[1]"}) EXPECT_THROW(TelemetryValue::fromJSON(json::parse(bad)), json::exception) << bad;
    const auto bare = TelemetryRecord::make(TelemetryEvent::signedIn, "2026-01-31T09:15:02.123Z", std::nullopt, {});
    EXPECT_EQ(bare.toJSON().dump(), R"({"name":"signed_in","at":"2026-01-31T09:15:02.123Z"})");
    const auto full = TelemetryRecord::make(TelemetryEvent::takeStarted, "2026-01-31T09:15:02.123Z", "abc",
                                            {{"screen", true}, {"fps", 30}, {"mic", "none"}, {"seconds", 12.5}});
    EXPECT_EQ(full.toJSON().dump(),
              R"({"name":"take_started","at":"2026-01-31T09:15:02.123Z","aid":"abc",)"
              R"("props":{"fps":30,"mic":"none","screen":true,"seconds":12.5}})");
    EXPECT_EQ(TelemetryRecord::fromJSON(json::parse(full.toJSON().dump())), full);
    EXPECT_EQ(TelemetryRecord::fromJSON(json::parse(R"({"name":"x","at":"y","props":{}})")).props, std::nullopt);
    EXPECT_THROW(TelemetryRecord::fromJSON(json::parse(R"({"name":"x"})")), json::exception);
}

TEST(JSONValueCoding, DecodesEveryKindAndSubscriptsObjectsOnly) {
    const auto v = JSONValue::parse(R"({"a":null,"b":[true,2.5,"s"],"c":{"d":1}})");
    ASSERT_TRUE(v.has_value());
    ASSERT_NE((*v)["a"], nullptr);
    EXPECT_TRUE((*v)["a"]->isNull());
    EXPECT_EQ(*(*v)["b"], JSONValue(JSONValue::Array{true, 2.5, "s"}));
    EXPECT_EQ((*v)["missing"], nullptr);
    EXPECT_EQ((*(*v)["b"])["a"], nullptr);
    EXPECT_EQ(v->toJSON().dump(), R"({"a":null,"b":[true,2.5,"s"],"c":{"d":1}})");
    EXPECT_EQ(JSONValue::parse("{not json"), std::nullopt);
}

TEST(PendingDiagnosticCoding, RequiresEveryKey) {
    for (const char* bad : {R"({"kind":"exception","at":"x"})", R"({"kind":"crash","at":"x","payload":1})"})
        EXPECT_THROW(PendingDiagnostic::fromJSON(json::parse(bad)), json::exception) << bad;
    // An explicit null payload is a payload.
    EXPECT_NO_THROW(PendingDiagnostic::fromJSON(json::parse(R"({"kind":"metrickit","at":"x","payload":null})")));
}

TEST(AppInfoDescription, ReadsBundleOperatingSystemAndArchitecture) {
    const auto info = AppInfo::current("dev", json::parse(R"({"CFBundleShortVersionString":"1.2.0","CFBundleVersion":42})"));
    EXPECT_EQ(info.version, "1.2.0");
    EXPECT_EQ(info.build, "dev");  // not a string
    EXPECT_FALSE(info.os.empty());
    EXPECT_EQ(AppInfo::current("prod", json()).version, "dev");
    EXPECT_EQ(operatingSystemName("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n", "6.1"),
              "Debian GNU/Linux 12");
    EXPECT_EQ(operatingSystemName("", "6.1.0-18-amd64"), "Linux 6.1.0-18-amd64");
    EXPECT_EQ(machineArchitecture("aarch64"), "arm64");
}

}  // namespace
}  // namespace brindlow
