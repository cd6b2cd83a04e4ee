// Feeds arbitrary bytes to the telemetry queue's decoder, as a torn or foreign
// queue.json would reach it at launch. Every record it keeps must read back the same.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "TelemetryRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using brindlow::TelemetryRecord;
    for (const auto& record : brindlow::decodeTelemetryQueue(
             std::string_view(reinterpret_cast<const char*>(data), size))) {
        if (!(TelemetryRecord::fromJSON(nlohmann::json::parse(record.toJSON().dump())) == record))
            __builtin_trap();
    }
    return 0;
}
