#include "Support/XConnection.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace brindlow {

XConnection::XConnection() {
    int screenNumber = 0;
    xcb_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(xcb_)) {
        xcb_disconnect(xcb_);
        const char* display = std::getenv("DISPLAY");
        throw XConnectionError(std::string("cannot connect to the X server ") +
                               (display && *display ? display : "(DISPLAY is not set)"));
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(xcb_));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    screen_ = it.data;
}

XConnection::~XConnection() { xcb_disconnect(xcb_); }

void XConnection::check() const {
    if (xcb_connection_has_error(xcb_)) throw XConnectionError("the connection to the X server broke");
}

}  // namespace brindlow
