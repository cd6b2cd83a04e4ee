#pragma once

#include <stdexcept>

struct xcb_connection_t;
struct xcb_screen_t;

namespace brindlow {

// There is no X server to talk to, or the connection to it broke.
class XConnectionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A connection to the X server named by $DISPLAY, with that display's screen.
class XConnection {
public:
    // Throws XConnectionError naming the display it tried.
    XConnection();
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    xcb_connection_t* xcb() const { return xcb_; }
    xcb_screen_t* screen() const { return screen_; }
    // Throws XConnectionError once the connection has broken.
    void check() const;

private:
    xcb_connection_t* xcb_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
};

}  // namespace brindlow
