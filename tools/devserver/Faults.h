#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

namespace brindlow::devserver {

// What a route does instead of answering normally.
struct FaultRule {
    int status = 0;        // answer with this status (0: none)
    bool drop = false;     // close the connection without an answer
    int delayMs = 0;       // wait this long first (then answer normally unless status/drop)
    int trickleMs = 0;     // send the answer's body a byte at a time, this long apart
    std::string location;  // the Location header of a status answer (a redirect)
    int remaining = -1;    // how many more requests it applies to; -1: no limit
    double rate = 1.0;     // the share of requests it applies to

    // "500", "503x2", "500@0.3", "drop", "dropx1", "delay:1500", "delay:200@0.5", "trickle:5".
    static std::optional<FaultRule> parse(const std::string& text);
    static std::optional<FaultRule> fromJSON(const nlohmann::json& j);
    nlohmann::json toJSON() const;
};

struct FaultDecision {
    int delayMs = 0;
    int status = 0;
    bool drop = false;
    int trickleMs = 0;
    std::string location;
};

// Rules per route name, changeable while the server runs.
class Faults {
public:
    void set(const std::string& route, FaultRule rule);
    void clear();
    FaultDecision decide(const std::string& route);
    nlohmann::json toJSON() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, FaultRule> rules_;  // guarded by mutex_
    std::mt19937_64 random_{std::random_device{}()};  // guarded by mutex_
};

}  // namespace brindlow::devserver
