#include "Cursor/AtspiElementInspector.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <mutex>

#include "Support/SessionBus.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

// AT-SPI role names and the short roles the cursor log uses for them.
constexpr std::pair<std::string_view, std::string_view> roles[] = {
    {"push button", "button"},
    {"toggle button", "button"},
    {"button", "button"},
    {"label", "statictext"},
    {"static", "statictext"},
    {"text", "textfield"},
    {"entry", "textfield"},
    {"password text", "textfield"},
    {"document text", "textarea"},
    {"check box", "checkbox"},
    {"radio button", "radiobutton"},
    {"combo box", "combobox"},
    {"menu item", "menuitem"},
    {"check menu item", "menuitem"},
    {"radio menu item", "menuitem"},
    {"menu", "menu"},
    {"menu bar", "menubar"},
    {"link", "link"},
    {"image", "image"},
    {"icon", "image"},
    {"slider", "slider"},
    {"spin button", "incrementor"},
    {"scroll bar", "scrollbar"},
    {"progress bar", "progressindicator"},
    {"page tab", "tab"},
    {"page tab list", "tabgroup"},
    {"tool bar", "toolbar"},
    {"list", "list"},
    {"list box", "list"},
    {"list item", "row"},
    {"table", "table"},
    {"table cell", "cell"},
    {"table row", "row"},
    {"tree", "outline"},
    {"tree item", "row"},
    {"heading", "heading"},
    {"paragraph", "statictext"},
    {"frame", "window"},
    {"window", "window"},
    {"dialog", "window"},
    {"panel", "group"},
    {"filler", "group"},
    {"section", "group"},
};

// Calls on the accessibility bus's own object, bounded like every other call.
GVariant* callBus(GDBusConnection* bus, const char* interface, const char* method, GVariant* arguments) {
    return g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", interface, method, arguments, nullptr,
                                       G_DBUS_CALL_FLAGS_NO_AUTO_START, AtspiElementInspector::callTimeoutMs, nullptr,
                                       nullptr);
}

GDBusConnection* sessionBus() {
    if (!sessionBusConfigured()) return nullptr;
    return g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
}

std::string takeText(gchar* text) {
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

template <typename T>
void release(T*& object) {
    if (object) g_object_unref(object);
    object = nullptr;
}

}  // namespace

bool AtspiElementInspector::isTrusted() {
    GDBusConnection* bus = sessionBus();
    if (!bus) return false;
    bool trusted = false;
    if (GVariant* address = callBus(bus, "org.a11y.Bus", "GetAddress", nullptr)) {
        g_variant_unref(address);
        if (GVariant* enabled = callBus(bus, "org.freedesktop.DBus.Properties", "Get",
                                        g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"))) {
            GVariant* value = nullptr;
            g_variant_get(enabled, "(v)", &value);
            trusted = value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
            if (value) g_variant_unref(value);
            g_variant_unref(enabled);
        }
    }
    g_object_unref(bus);
    return trusted;
}

bool AtspiElementInspector::requestTrust() {
    if (GDBusConnection* bus = sessionBus()) {
        if (GVariant* reply = callBus(bus, "org.freedesktop.DBus.Properties", "Set",
                                      g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE))))
            g_variant_unref(reply);
        g_object_unref(bus);
    }
    return isTrusted();
}

AtspiElementInspector::AtspiElementInspector(std::chrono::milliseconds budget) : budget_(budget) {
    static std::once_flag initialised;
    std::call_once(initialised, [] {
        atspi_init();
        atspi_set_timeout(callTimeoutMs, callTimeoutMs);
    });
}

std::string AtspiElementInspector::shortRole(std::string_view name) {
    for (const auto& [atspi, role] : roles)
        if (atspi == name) return std::string(role);
    std::string compact;
    for (char c : name)
        if (c != ' ') compact += char(std::tolower(static_cast<unsigned char>(c)));
    return compact;
}

std::optional<InspectedElement> AtspiElementInspector::element(Point at) {
    const int x = int(std::lround(at.x)), y = int(std::lround(at.y));
    // One unresponsive application must not hold the inspection (and a stop waiting for
    // it): every call gets at most what is left of the budget, and none starts after it.
    const auto deadline = std::chrono::steady_clock::now() + budget_;
    auto inTime = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const int timeout = int(std::min<int64_t>(left.count(), callTimeoutMs));
        atspi_set_timeout(timeout, timeout);
        return true;
    };
    if (!inTime()) return std::nullopt;
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) return std::nullopt;
    bool outOfTime = false;

    // The window containing the point, the active one first when windows overlap.
    AtspiAccessible* window = nullptr;
    bool windowIsActive = false;
    const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
    for (gint a = 0; a < apps && !windowIsActive && !outOfTime; ++a) {
        if ((outOfTime = !inTime())) break;
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, nullptr);
        if (!app) continue;
        const gint windows = atspi_accessible_get_child_count(app, nullptr);
        for (gint w = 0; w < windows && !windowIsActive; ++w) {
            if ((outOfTime = !inTime())) break;
            AtspiAccessible* candidate = atspi_accessible_get_child_at_index(app, w, nullptr);
            if (!candidate) continue;
            AtspiComponent* component = atspi_accessible_get_component_iface(candidate);
            const bool contains =
                component && atspi_component_contains(component, x, y, ATSPI_COORD_TYPE_SCREEN, nullptr);
            release(component);
            if (!contains) {
                release(candidate);
                continue;
            }
            AtspiStateSet* states = atspi_accessible_get_state_set(candidate);
            const bool active = states && atspi_state_set_contains(states, ATSPI_STATE_ACTIVE);
            release(states);
            if (!window || active) {
                release(window);
                window = candidate;
                windowIsActive = active;
            } else {
                release(candidate);
            }
        }
        release(app);
    }
    release(desktop);
    if (outOfTime) release(window);
    if (!window || outOfTime) return std::nullopt;

    // Down to the deepest accessible at the point.
    AtspiAccessible* hit = window;
    for (int depth = 0; depth < 64; ++depth) {
        if ((outOfTime = !inTime())) break;
        AtspiComponent* component = atspi_accessible_get_component_iface(hit);
        if (!component) break;
        AtspiAccessible* inner =
            atspi_component_get_accessible_at_point(component, x, y, ATSPI_COORD_TYPE_SCREEN, nullptr);
        release(component);
        if (!inner || inner == hit) {
            release(inner);
            break;
        }
        release(hit);
        hit = inner;
    }

    std::optional<InspectedElement> found;
    if (outOfTime || !inTime()) {
        release(hit);
        return std::nullopt;
    }
    if (AtspiComponent* component = atspi_accessible_get_component_iface(hit)) {
        if (AtspiRect* extents = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr)) {
            InspectedElement element;
            element.frame = {double(extents->x), double(extents->y), double(extents->width), double(extents->height)};
            g_free(extents);
            element.role = shortRole(takeText(atspi_accessible_get_role_name(hit, nullptr)));
            std::vector<std::string> candidates = {takeText(atspi_accessible_get_name(hit, nullptr)),
                                                   takeText(atspi_accessible_get_description(hit, nullptr))};
            if (AtspiText* text = atspi_accessible_get_text_iface(hit)) {
                const gint count = atspi_text_get_character_count(text, nullptr);
                candidates.push_back(takeText(atspi_text_get_text(text, 0, std::min(count, 4096), nullptr)));
                release(text);
            }
            for (const auto& candidate : candidates) {
                const std::string trimmed = trimWhitespace(candidate);
                if (!trimmed.empty()) {
                    element.label = trimmed;
                    break;
                }
            }
            found = std::move(element);
        }
        release(component);
    }
    release(hit);
    return found;
}

}  // namespace brindlow
