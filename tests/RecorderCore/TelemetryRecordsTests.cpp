#include "TelemetryRecords.h"

#include <gtest/gtest.h>

namespace brindlow {
namespace {

TEST(TelemetryValueDecoding, TriesBoolThenNumberThenString) {
    EXPECT_TRUE(TelemetryValue::fromJSON(nlohmann::json::parse("true")).isBool());
    EXPECT_TRUE(TelemetryValue::fromJSON(nlohmann::json::parse("1")).isNumber());
    EXPECT_TRUE(TelemetryValue::fromJSON(nlohmann::json::parse("\"1\"")).isString());
    EXPECT_THROW(TelemetryValue::fromJSON(nlohmann::json::parse("null")), nlohmann::json::exception);
    EXPECT_THROW(TelemetryValue::fromJSON(nlohmann::json::parse("[1]")), nlohmann::json::exception);
}

TEST(TelemetryValueEncoding, IsABareValueWithIntegralNumbersPlain) {
    EXPECT_EQ(TelemetryValue(30).toJSON().dump(), "30");
    EXPECT_EQ(TelemetryValue(12.5).toJSON().dump(), "12.5");
    EXPECT_EQ(TelemetryValue(false).toJSON().dump(), "false");
    EXPECT_EQ(TelemetryValue("x").toJSON().dump(), "\"x\"");
}

TEST(TelemetryRecordCoding, OmitsAbsentAidAndEmptyProps) {
    const auto bare = TelemetryRecord::make(TelemetryEvent::signedIn, "2026-01-31T09:15:02.123Z", std::nullopt, {});
    EXPECT_EQ(bare.toJSON().dump(), R"({"name":"signed_in","at":"2026-01-31T09:15:02.123Z"})");
    EXPECT_EQ(bare.props, std::nullopt);

    const auto full = TelemetryRecord::make(TelemetryEvent::takeStarted, "2026-01-31T09:15:02.123Z", "abc",
                                            {{"screen", true}, {"fps", 30}, {"mic", "none"}});
    EXPECT_EQ(full.toJSON().dump(),
              R"({"name":"take_started","at":"2026-01-31T09:15:02.123Z","aid":"abc",)"
              R"("props":{"fps":30,"mic":"none","screen":true}})");
    EXPECT_EQ(TelemetryRecord::fromJSON(nlohmann::json::parse(full.toJSON().dump())), full);
    EXPECT_EQ(TelemetryRecord::fromJSON(nlohmann::json::parse(R"({"name":"x","at":"y","props":{}})")).props,
              std::nullopt);
    EXPECT_THROW(TelemetryRecord::fromJSON(nlohmann::json::parse(R"({"name":"x"})")), nlohmann::json::exception);
}

TEST(TelemetryNames, AreTheWireValues) {
    EXPECT_EQ(rawValue(TelemetryEvent::unexpectedExit), "unexpected_exit");
    EXPECT_EQ(rawValue(TelemetryEvent::takeDiscarded), "take_discarded");
    EXPECT_EQ(rawValue(DiscardReason::nothingRecorded), "nothing_recorded");
    EXPECT_EQ(rawValue(DiagnosticKind::metricKit), "metrickit");
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
    const PendingDiagnostic d{DiagnosticKind::exception, "2026-01-31T09:15:02.123Z",
                              JSONValue::Object{{"name", "E"}, {"lines", JSONValue::Array{"a", "b"}}}};
    const std::string text = d.toJSON().dump();
    EXPECT_EQ(text, R"({"kind":"exception","at":"2026-01-31T09:15:02.123Z","payload":{"lines":["a","b"],"name":"E"}})");
    EXPECT_EQ(PendingDiagnostic::fromJSON(nlohmann::json::parse(text)), d);
    EXPECT_THROW(PendingDiagnostic::fromJSON(nlohmann::json::parse(R"({"kind":"exception","at":"x"})")),
                 nlohmann::json::exception);
    EXPECT_THROW(PendingDiagnostic::fromJSON(nlohmann::json::parse(R"({"kind":"crash","at":"x","payload":1})")),
                 nlohmann::json::exception);
    // An explicit null payload is a payload.
    EXPECT_NO_THROW(PendingDiagnostic::fromJSON(nlohmann::json::parse(R"({"kind":"metrickit","at":"x","payload":null})")));
}

TEST(AppInfoDescription, ReadsBundleAndOperatingSystem) {
    const auto info = AppInfo::current("dev", nlohmann::json::parse(R"({"CFBundleShortVersionString":"1.2.0","CFBundleVersion":42})"));
    EXPECT_EQ(info.version, "1.2.0");
    EXPECT_EQ(info.build, "dev");  // not a string
    EXPECT_EQ(info.env, "dev");
    EXPECT_FALSE(info.os.empty());
    EXPECT_FALSE(info.arch.empty());
    EXPECT_EQ(info.toJSON().dump().find("{\"version\":\"1.2.0\",\"build\":\"dev\",\"os\":"), 0u);
    EXPECT_EQ(AppInfo::current("prod", nlohmann::json()).version, "dev");
}

TEST(AppInfoDescription, OperatingSystemFromOsRelease) {
    EXPECT_EQ(operatingSystemName("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
                                  "VERSION_ID=\"12\"\n",
                                  "6.1.0"),
              "Debian GNU/Linux 12");
    EXPECT_EQ(operatingSystemName("NAME=Arch\n", "6.1.0"), "Arch");
    EXPECT_EQ(operatingSystemName("", "6.1.0-18-amd64"), "Linux 6.1.0-18-amd64");
    EXPECT_EQ(machineArchitecture("aarch64"), "arm64");
    EXPECT_EQ(machineArchitecture("x86_64"), "x86_64");
}

}  // namespace
}  // namespace brindlow
