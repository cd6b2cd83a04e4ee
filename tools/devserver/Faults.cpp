#include "Faults.h"

namespace brindlow::devserver {
namespace {

bool parseInt(const std::string& s, int& out) {
    if (s.empty() || s.size() > 9) return false;
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
    }
    return true;
}

}  // namespace

std::optional<FaultRule> FaultRule::parse(const std::string& text) {
    FaultRule rule;
    std::string action = text;
    if (const size_t at = action.find('@'); at != std::string::npos) {
        try {
            size_t used = 0;
            rule.rate = std::stod(action.substr(at + 1), &used);
            if (used != action.size() - at - 1 || !(rule.rate >= 0 && rule.rate <= 1)) return std::nullopt;
        } catch (const std::exception&) {
            return std::nullopt;
        }
        action.resize(at);
    } else if (const size_t x = action.rfind('x'); x != std::string::npos && x > 0) {
        if (!parseInt(action.substr(x + 1), rule.remaining)) return std::nullopt;
        action.resize(x);
    }
    if (action == "drop") {
        rule.drop = true;
    } else if (action.rfind("delay:", 0) == 0) {
        if (!parseInt(action.substr(6), rule.delayMs)) return std::nullopt;
    } else if (action.rfind("trickle:", 0) == 0) {
        if (!parseInt(action.substr(8), rule.trickleMs) || rule.trickleMs == 0) return std::nullopt;
    } else if (!parseInt(action, rule.status) || rule.status < 100 || rule.status > 599) {
        return std::nullopt;
    }
    return rule;
}

std::optional<FaultRule> FaultRule::fromJSON(const nlohmann::json& j) {
    if (!j.is_object()) return std::nullopt;
    FaultRule rule;
    try {
        rule.status = j.value("status", 0);
        rule.drop = j.value("drop", false);
        rule.delayMs = j.value("delayMs", 0);
        rule.trickleMs = j.value("trickleMs", 0);
        rule.location = j.value("location", std::string());
        rule.remaining = j.value("times", -1);
        rule.rate = j.value("rate", 1.0);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
    const bool statusOk = rule.status == 0 || (rule.status >= 100 && rule.status <= 599);
    if (!statusOk || rule.delayMs < 0 || rule.trickleMs < 0 || !(rule.rate >= 0 && rule.rate <= 1)) return std::nullopt;
    if (rule.status == 0 && !rule.drop && rule.delayMs == 0 && rule.trickleMs == 0) return std::nullopt;
    return rule;
}

nlohmann::json FaultRule::toJSON() const {
    nlohmann::json j = {{"status", status}, {"drop", drop}, {"delayMs", delayMs}, {"times", remaining}, {"rate", rate}};
    if (trickleMs) j["trickleMs"] = trickleMs;
    if (!location.empty()) j["location"] = location;
    return j;
}

void Faults::set(const std::string& route, FaultRule rule) {
    std::lock_guard lock(mutex_);
    rules_[route] = rule;
}

void Faults::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

FaultDecision Faults::decide(const std::string& route) {
    std::lock_guard lock(mutex_);
    const auto it = rules_.find(route);
    if (it == rules_.end()) return {};
    FaultRule& rule = it->second;
    if (rule.remaining == 0) return {};
    if (rule.rate < 1.0 && std::uniform_real_distribution<double>(0, 1)(random_) >= rule.rate) return {};
    if (rule.remaining > 0) --rule.remaining;
    return {rule.delayMs, rule.status, rule.drop, rule.trickleMs, rule.location};
}

nlohmann::json Faults::toJSON() const {
    std::lock_guard lock(mutex_);
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [route, rule] : rules_) out[route] = rule.toJSON();
    return out;
}

}  // namespace brindlow::devserver
