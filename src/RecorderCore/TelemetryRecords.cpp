#include "TelemetryRecords.h"

#include <sys/utsname.h>

#include <cmath>

#include "Support/AtomicFile.h"

namespace brindlow {

std::string_view rawValue(TelemetryEvent event) {
    switch (event) {
        case TelemetryEvent::appLaunched: return "app_launched";
        case TelemetryEvent::appQuit: return "app_quit";
        case TelemetryEvent::unexpectedExit: return "unexpected_exit";
        case TelemetryEvent::signedIn: return "signed_in";
        case TelemetryEvent::prepareFailed: return "prepare_failed";
        case TelemetryEvent::takeStarted: return "take_started";
        case TelemetryEvent::takeStopped: return "take_stopped";
        case TelemetryEvent::takeSaved: return "take_saved";
        case TelemetryEvent::takeDiscarded: return "take_discarded";
        case TelemetryEvent::takeFailed: return "take_failed";
    }
    return {};
}

std::string_view rawValue(DiscardReason reason) {
    switch (reason) {
        case DiscardReason::cancel: return "cancel";
        case DiscardReason::restart: return "restart";
        case DiscardReason::nothingRecorded: return "nothing_recorded";
    }
    return {};
}

std::string_view rawValue(DiagnosticKind kind) {
    return kind == DiagnosticKind::metricKit ? "metrickit" : "exception";
}

std::optional<DiagnosticKind> diagnosticKindFromRaw(std::string_view raw) {
    if (raw == "metrickit") return DiagnosticKind::metricKit;
    if (raw == "exception") return DiagnosticKind::exception;
    return std::nullopt;
}

nlohmann::ordered_json jsonNumber(double value) {
    if (std::isfinite(value) && std::trunc(value) == value && std::abs(value) < 9007199254740992.0)
        return static_cast<int64_t>(value);
    if (!std::isfinite(value)) return nullptr;  // JSON has no spelling for these
    return value;
}

nlohmann::ordered_json TelemetryValue::toJSON() const {
    if (const auto* s = string()) return *s;
    if (const auto* n = number()) return jsonNumber(*n);
    return *boolean();
}

TelemetryValue TelemetryValue::fromJSON(const nlohmann::json& j) {
    if (j.is_boolean()) return j.get<bool>();
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) return j.get<std::string>();
    throw nlohmann::json::type_error::create(302, "not a telemetry value: " + j.dump(), &j);
}

TelemetryRecord TelemetryRecord::make(TelemetryEvent event, std::string at, std::optional<std::string> aid,
                                      const TelemetryProps& props) {
    TelemetryRecord r{std::string(rawValue(event)), std::move(at), std::move(aid), std::nullopt};
    // JSON cannot spell a non-finite number, and a record that does not read back would
    // cost the queue it sits in: such a property is left out.
    TelemetryProps kept;
    for (const auto& [key, value] : props) {
        if (const double* n = value.number(); n && !std::isfinite(*n)) continue;
        kept.emplace(key, value);
    }
    if (!kept.empty()) r.props = std::move(kept);
    return r;
}

nlohmann::ordered_json TelemetryRecord::toJSON() const {
    nlohmann::ordered_json j;
    j["name"] = name;
    j["at"] = at;
    if (aid) j["aid"] = *aid;
    if (props && !props->empty()) {
        nlohmann::ordered_json p = nlohmann::ordered_json::object();
        for (const auto& [key, value] : *props) p[key] = value.toJSON();
        j["props"] = std::move(p);
    }
    return j;
}

TelemetryRecord TelemetryRecord::fromJSON(const nlohmann::json& j) {
    TelemetryRecord r;
    r.name = j.at("name").get<std::string>();
    r.at = j.at("at").get<std::string>();
    if (j.contains("aid") && !j.at("aid").is_null()) r.aid = j.at("aid").get<std::string>();
    if (j.contains("props") && !j.at("props").is_null()) {
        const auto& p = j.at("props");
        if (!p.is_object()) throw nlohmann::json::type_error::create(302, "\"props\" must be an object", &p);
        TelemetryProps props;
        for (auto it = p.begin(); it != p.end(); ++it) props.emplace(it.key(), TelemetryValue::fromJSON(it.value()));
        if (!props.empty()) r.props = std::move(props);
    }
    return r;
}

std::vector<TelemetryRecord> decodeTelemetryQueue(std::string_view bytes) {
    std::vector<TelemetryRecord> records;
    const auto array = nlohmann::json::parse(bytes, nullptr, false);
    if (!array.is_array()) return records;
    for (const auto& item : array) {
        try {
            records.push_back(TelemetryRecord::fromJSON(item));
        } catch (const std::exception&) {
        }
    }
    return records;
}

std::string currentOperatingSystem() {
    utsname system{};
    uname(&system);
    return operatingSystemName(readFile("/etc/os-release").value_or(""), system.release);
}

std::string currentArchitecture() {
    utsname system{};
    uname(&system);
    return machineArchitecture(system.machine);
}

AppInfo AppInfo::current(std::string_view env, const nlohmann::json& bundle) {
    auto text = [&](const char* key) -> std::string {
        if (bundle.is_object() && bundle.contains(key) && bundle.at(key).is_string())
            return bundle.at(key).get<std::string>();
        return "dev";
    };
    return AppInfo{text("CFBundleShortVersionString"), text("CFBundleVersion"), currentOperatingSystem(),
                   std::string(env), currentArchitecture()};
}

nlohmann::ordered_json AppInfo::toJSON() const {
    nlohmann::ordered_json j;
    j["version"] = version;
    j["build"] = build;
    j["os"] = os;
    j["env"] = env;
    j["arch"] = arch;
    return j;
}

AppInfo AppInfo::fromJSON(const nlohmann::json& j) {
    return AppInfo{j.at("version").get<std::string>(), j.at("build").get<std::string>(),
                   j.at("os").get<std::string>(), j.at("env").get<std::string>(), j.at("arch").get<std::string>()};
}

namespace {

// One os-release value, with its optional quotes and backslash escapes removed.
std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=') {
            std::string_view raw = line.substr(key.size() + 1);
            while (!raw.empty() && (raw.back() == '\r' || raw.back() == ' ')) raw.remove_suffix(1);
            if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front())
                raw = raw.substr(1, raw.size() - 2);
            std::string value;
            for (size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
                value.push_back(raw[i]);
            }
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string operatingSystemName(std::string_view osRelease, std::string_view kernelRelease) {
    const auto name = osReleaseValue(osRelease, "NAME");
    if (name && !name->empty()) {
        const auto version = osReleaseValue(osRelease, "VERSION_ID");
        return version && !version->empty() ? *name + " " + *version : *name;
    }
    return "Linux " + std::string(kernelRelease);
}

std::string machineArchitecture(std::string_view machine) {
    if (machine == "aarch64") return "arm64";
    if (machine == "amd64") return "x86_64";
    return std::string(machine);
}

const JSONValue* JSONValue::operator[](const std::string& key) const {
    const auto* o = object();
    if (!o) return nullptr;
    const auto it = o->find(key);
    return it == o->end() ? nullptr : &it->second;
}

nlohmann::ordered_json JSONValue::toJSON() const {
    if (isNull()) return nullptr;
    if (const auto* b = boolean()) return *b;
    if (const auto* n = number()) return jsonNumber(*n);
    if (const auto* s = string()) return *s;
    if (const auto* a = array()) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const auto& v : *a) out.push_back(v.toJSON());
        return out;
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const auto& [k, v] : *object()) out[k] = v.toJSON();
    return out;
}

JSONValue JSONValue::fromJSON(const nlohmann::json& j) {
    if (j.is_null()) return nullptr;
    if (j.is_boolean()) return j.get<bool>();
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) return j.get<std::string>();
    if (j.is_array()) {
        Array a;
        a.reserve(j.size());
        for (const auto& v : j) a.push_back(fromJSON(v));
        return a;
    }
    if (j.is_object()) {
        Object o;
        for (auto it = j.begin(); it != j.end(); ++it) o.emplace(it.key(), fromJSON(it.value()));
        return o;
    }
    throw nlohmann::json::type_error::create(302, "not a JSON value", &j);
}

std::optional<JSONValue> JSONValue::parse(std::string_view bytes) {
    auto j = nlohmann::json::parse(bytes, nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return fromJSON(j);
}

nlohmann::ordered_json PendingDiagnostic::toJSON() const {
    nlohmann::ordered_json j;
    j["kind"] = std::string(rawValue(kind));
    j["at"] = at;
    j["payload"] = payload.toJSON();
    return j;
}

PendingDiagnostic PendingDiagnostic::fromJSON(const nlohmann::json& j) {
    const auto kind = diagnosticKindFromRaw(j.at("kind").get<std::string>());
    if (!kind) throw nlohmann::json::other_error::create(501, "unknown diagnostic kind", &j);
    if (!j.contains("payload")) throw nlohmann::json::out_of_range::create(403, "key 'payload' not found", &j);
    return PendingDiagnostic{*kind, j.at("at").get<std::string>(), JSONValue::fromJSON(j.at("payload"))};
}

}  // namespace brindlow
