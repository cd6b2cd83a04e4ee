#include "RecorderFormat.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace brindlow::RecorderFormat {

std::string clock(double seconds) {
    // NaN and negative times would otherwise print as garbage.
    const int64_t s = std::isfinite(seconds) && seconds > 0 ? static_cast<int64_t>(std::min(seconds, 9.0e15)) : 0;
    char text[48];
    if (s < 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    }
    return text;
}

std::string byteCount(int64_t bytes) {
    if (bytes < 0) bytes = 0;
    if (bytes == 1) return "1 byte";
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    // Larger units show more digits: a gigabyte deserves its hundredths, a kilobyte none.
    struct Unit {
        const char* name;
        int decimals;
    };
    constexpr std::array<Unit, 5> units{{{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}}};
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    // Rounding may carry into the next unit (999.96 MB is "1 GB").
    while (unit + 1 < units.size()) {
        const double scale = std::pow(10.0, units[unit].decimals);
        if (std::round(value * scale) / scale < 1000.0) break;
        value /= 1000.0;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", units[unit].decimals, value);
    std::string number = text;
    // "70.0 MB" reads as "70 MB".
    if (number.find('.') != std::string::npos) {
        while (number.back() == '0') number.pop_back();
        if (number.back() == '.') number.pop_back();
    }
    return number + " " + units[unit].name;
}

std::optional<std::string> backlogNotice(int64_t backlogBytes) {
    if (backlogBytes <= backlogNoticeBytes) return std::nullopt;
    return "Upload is behind by " + byteCount(backlogBytes) + ". Keep recording \u2014 it catches up.";
}

std::string displayEntry(const std::string& name, CaptureSize pixels) {
    // A shared screen's size is known only once the desktop has shared it.
    if (pixels.width < 1 || pixels.height < 1) return name;
    const CaptureSize fitted = pixels.fittedToEncoder();
    return name + " \u00b7 " + std::to_string(fitted.width) + "\u00d7" + std::to_string(fitted.height);
}

}  // namespace brindlow::RecorderFormat
