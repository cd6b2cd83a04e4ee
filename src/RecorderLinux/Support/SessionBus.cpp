#include "Support/SessionBus.h"

#include <cstdlib>
#include <filesystem>

namespace brindlow {

bool sessionBusConfigured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    return runtime && *runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus", ec);
}

}  // namespace brindlow
