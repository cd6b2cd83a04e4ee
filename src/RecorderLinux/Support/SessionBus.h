#pragma once

namespace brindlow {

// Whether this process has a session bus to talk to: an address in the environment
// or the user's bus socket. Without one GLib would try to launch a bus that
// outlives the process, and libatspi would abort.
bool sessionBusConfigured();

}  // namespace brindlow
