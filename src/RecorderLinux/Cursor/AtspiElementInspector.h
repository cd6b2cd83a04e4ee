#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "CursorTracker.h"

namespace brindlow {

// The element under a screen point, from the AT-SPI accessibility tree: the deepest
// accessible at the point within the window that contains it, its extents on the
// screen, a short lower-case role and the first non-empty of name, description and
// text. Every call into the tree is bounded at 0.25 s, and one whole inspection at its
// budget (0.5 s): past it, nothing is reported.
class AtspiElementInspector final : public ElementInspector {
public:
    static constexpr int callTimeoutMs = 250;

    // Whether the accessibility bus answers and accessibility is switched on, so
    // that applications publish their trees.
    static bool isTrusted();
    // Switches accessibility on for the session; returns isTrusted() afterwards.
    // Applications started before then may need a restart to publish their trees.
    static bool requestTrust();

    // Only when isTrusted(): libatspi cannot run without its bus.
    explicit AtspiElementInspector(std::chrono::milliseconds budget = std::chrono::milliseconds(500));

    std::optional<InspectedElement> element(Point at) override;

    // "push button" → "button", "label" → "statictext", unknown names lose their spaces.
    static std::string shortRole(std::string_view atspiRoleName);

private:
    const std::chrono::milliseconds budget_;
};

}  // namespace brindlow
