// Feeds arbitrary bytes to the take record's reader, as a torn or tampered take.json
// in the spool would reach it. A record it accepts must read back the same once written.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "TakeJournal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using brindlow::TakeRecord;
    const auto json = nlohmann::json::parse(
        std::string_view(reinterpret_cast<const char*>(data), size), nullptr, false);
    if (json.is_discarded()) return 0;
    try {
        const TakeRecord record = TakeRecord::fromJSON(json);
        if (!(TakeRecord::fromJSON(nlohmann::json::parse(record.toJSON().dump())) == record))
            __builtin_trap();
    } catch (const std::exception&) {
        // A refusal, which the journal reports as an unreadable record.
    }
    return 0;
}
