// Feeds arbitrary bytes to the sign-in listener's request parser, as a hostile
// local client could send them.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "SignIn/BrowserSignIn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using brindlow::BrowserSignIn;
    if (size > BrowserSignIn::maxRequestBytes) return 0;  // the listener never reads more
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    const auto outcome = BrowserSignIn::parse(request, "fuzz-state");
    if (outcome) {
        if (const auto* token = std::get_if<std::string>(&*outcome); token && token->empty()) __builtin_trap();
    }
    return 0;
}
