#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace brindlow {

enum class TelemetryEvent {
    appLaunched,
    appQuit,
    unexpectedExit,
    signedIn,
    prepareFailed,
    takeStarted,
    takeStopped,
    takeSaved,
    takeDiscarded,
    takeFailed,
};
std::string_view rawValue(TelemetryEvent event);

enum class DiscardReason { cancel, restart, nothingRecorded };
std::string_view rawValue(DiscardReason reason);

// A property value: a string, a number or a boolean, written as a bare JSON value.
class TelemetryValue {
public:
    TelemetryValue(std::string s) : value_(std::move(s)) {}
    TelemetryValue(const char* s) : value_(std::string(s)) {}
    TelemetryValue(std::string_view s) : value_(std::string(s)) {}
    TelemetryValue(double n) : value_(n) {}
    TelemetryValue(int n) : value_(double(n)) {}
    TelemetryValue(int64_t n) : value_(double(n)) {}
    TelemetryValue(bool b) : value_(b) {}

    bool isString() const { return std::holds_alternative<std::string>(value_); }
    bool isNumber() const { return std::holds_alternative<double>(value_); }
    bool isBool() const { return std::holds_alternative<bool>(value_); }
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    const double* number() const { return std::get_if<double>(&value_); }
    const bool* boolean() const { return std::get_if<bool>(&value_); }

    bool operator==(const TelemetryValue&) const = default;

    nlohmann::ordered_json toJSON() const;
    // Tries bool, then number, then string; throws nlohmann::json::exception otherwise.
    static TelemetryValue fromJSON(const nlohmann::json& j);

private:
    std::variant<std::string, double, bool> value_;
};

using TelemetryProps = std::map<std::string, TelemetryValue>;

struct TelemetryRecord {
    std::string name;  // the event's raw value
    std::string at;    // ISO 8601 UTC with milliseconds
    std::optional<std::string> aid;
    std::optional<TelemetryProps> props;  // empty sets are stored as absent

    bool operator==(const TelemetryRecord&) const = default;

    static TelemetryRecord make(TelemetryEvent event, std::string at, std::optional<std::string> aid,
                                const TelemetryProps& props);
    nlohmann::ordered_json toJSON() const;
    static TelemetryRecord fromJSON(const nlohmann::json& j);
};

// The records a spooled queue ("queue.json") holds: a file that is not a list reads as
// none; within a list, only the records that do not read back are lost.
std::vector<TelemetryRecord> decodeTelemetryQueue(std::string_view bytes);

struct AppInfo {
    std::string version;
    std::string build;
    std::string os;
    std::string env;
    std::string arch;

    bool operator==(const AppInfo&) const = default;

    // `bundle` is the app's info.json object: "CFBundleShortVersionString" and
    // "CFBundleVersion" give version and build when they are strings, else "dev".
    static AppInfo current(std::string_view env, const nlohmann::json& bundle);
    nlohmann::ordered_json toJSON() const;
    static AppInfo fromJSON(const nlohmann::json& j);
};

// "NAME VERSION_ID" from an os-release text, else "Linux " + the kernel release.
std::string operatingSystemName(std::string_view osRelease, std::string_view kernelRelease);
std::string currentOperatingSystem();
std::string currentArchitecture();
// The running machine's architecture as the backend names it: x86_64, arm64, ...
std::string machineArchitecture(std::string_view unameMachine);

enum class DiagnosticKind { metricKit, exception };
std::string_view rawValue(DiagnosticKind kind);
std::optional<DiagnosticKind> diagnosticKindFromRaw(std::string_view raw);

// A free-form JSON value.
class JSONValue {
public:
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue>;

    JSONValue() : value_(nullptr) {}
    JSONValue(std::nullptr_t) : value_(nullptr) {}
    JSONValue(bool b) : value_(b) {}
    JSONValue(double n) : value_(n) {}
    JSONValue(int n) : value_(double(n)) {}
    JSONValue(int64_t n) : value_(double(n)) {}
    JSONValue(std::string s) : value_(std::move(s)) {}
    JSONValue(const char* s) : value_(std::string(s)) {}
    JSONValue(Array a) : value_(std::move(a)) {}
    JSONValue(Object o) : value_(std::move(o)) {}

    bool isNull() const { return std::holds_alternative<std::nullptr_t>(value_); }
    const bool* boolean() const { return std::get_if<bool>(&value_); }
    const double* number() const { return std::get_if<double>(&value_); }
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    const Array* array() const { return std::get_if<Array>(&value_); }
    const Object* object() const { return std::get_if<Object>(&value_); }

    // The member of an object; nothing for another case or a missing key.
    const JSONValue* operator[](const std::string& key) const;

    bool operator==(const JSONValue&) const = default;

    nlohmann::ordered_json toJSON() const;
    static JSONValue fromJSON(const nlohmann::json& j);
    // Nothing when the bytes are not JSON.
    static std::optional<JSONValue> parse(std::string_view bytes);

private:
    std::variant<std::nullptr_t, bool, double, std::string, Array, Object> value_;
};

struct PendingDiagnostic {
    DiagnosticKind kind = DiagnosticKind::exception;
    std::string at;
    JSONValue payload;

    bool operator==(const PendingDiagnostic&) const = default;
    nlohmann::ordered_json toJSON() const;
    static PendingDiagnostic fromJSON(const nlohmann::json& j);
};

// Where the recording pipeline and the model report usage. Implementations must
// not block the caller for long and never throw.
class TelemetrySink {
public:
    virtual ~TelemetrySink() = default;
    virtual void record(TelemetryEvent event, std::optional<std::string> aid, const TelemetryProps& props) = 0;
    virtual void notePhase(std::string_view phase, std::optional<std::string> aid) = 0;
    void record(TelemetryEvent event, std::optional<std::string> aid) { record(event, std::move(aid), {}); }
};

// A JSON number as people write it: integral doubles without a fraction.
nlohmann::ordered_json jsonNumber(double value);

}  // namespace brindlow
