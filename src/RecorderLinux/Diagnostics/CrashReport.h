#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "RunMarker.h"

namespace brindlow {

// Writes the run marker's exception and an "exception" diagnostic while the process
// dies. Everything the write needs is prepared beforehand, so `write` itself only
// formats into static buffers and makes system calls: no allocation and no lock,
// which keeps it usable from a fatal-signal handler and from a crash inside the
// telemetry code itself, whatever lock that crash left held.
namespace CrashReport {

// Fixes the marker file and the diagnostics folder; call once, before handlers go in.
void prepare(const std::filesystem::path& markerFile, const std::filesystem::path& diagnosticsDirectory);
// The state a crash reports from now on: the marker as it stands and the phase.
void setState(const RunMarker::Run& run, const std::string& phase, const std::optional<std::string>& aid);
// Only the first call of a process writes; returns whether this one did.
bool write(const char* name, const char* reason) noexcept;

}  // namespace CrashReport

}  // namespace brindlow
