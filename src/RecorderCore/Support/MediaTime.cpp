#include "Support/MediaTime.h"

#include <time.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <numeric>

namespace brindlow {
namespace {

__extension__ using Wide = __int128;

constexpr Wide kInt64Max = std::numeric_limits<int64_t>::max();
constexpr Wide kInt64Min = std::numeric_limits<int64_t>::min();

bool fitsInt64(Wide v) { return v >= kInt64Min && v <= kInt64Max; }

// Divides rounding half away from zero; divisor > 0.
Wide divideRounded(Wide numerator, Wide divisor) {
    Wide quotient = numerator / divisor;
    Wide remainder = numerator % divisor;
    if (remainder < 0) remainder = -remainder;
    if (remainder * 2 >= divisor) quotient += numerator < 0 ? -1 : 1;
    return quotient;
}

}  // namespace

double MediaTime::seconds() const {
    if (!valid_) return std::numeric_limits<double>::quiet_NaN();
    // Split to keep precision for large values (host times in nanoseconds).
    const int64_t whole = value_ / timescale_;
    const int64_t rest = value_ % timescale_;
    return static_cast<double>(whole) + static_cast<double>(rest) / timescale_;
}

MediaTime MediaTime::convertedTo(int32_t timescale) const {
    if (!valid_ || timescale <= 0) return invalid();
    if (timescale == timescale_) return *this;
    const Wide v = divideRounded(Wide(value_) * timescale, timescale_);
    if (!fitsInt64(v)) return invalid();
    MediaTime result(static_cast<int64_t>(v), timescale);
    result.rounded_ = rounded_ || Wide(v) * timescale_ != Wide(value_) * timescale;
    return result;
}

MediaTime MediaTime::combine(MediaTime a, MediaTime b, int sign) {
    if (!a.isValid() || !b.isValid()) return invalid();
    if (a.timescale_ == b.timescale_) {  // the common case: host times in nanoseconds
        int64_t sum;
        const bool overflow = sign > 0 ? __builtin_add_overflow(a.value_, b.value_, &sum)
                                       : __builtin_sub_overflow(a.value_, b.value_, &sum);
        if (overflow) return invalid();
        MediaTime result(sum, a.timescale_);
        result.rounded_ = a.rounded_ || b.rounded_;
        return result;
    }
    const int64_t ta = a.timescale_;
    const int64_t tb = b.timescale_;
    const int64_t common = std::lcm(ta, tb);
    if (common <= std::numeric_limits<int32_t>::max()) {
        const Wide sum = Wide(a.value_) * (common / ta) + sign * Wide(b.value_) * (common / tb);
        if (!fitsInt64(sum)) return invalid();
        MediaTime result(static_cast<int64_t>(sum), static_cast<int32_t>(common));
        result.rounded_ = a.rounded_ || b.rounded_;
        return result;
    }
    // The exact result needs a timescale wider than 32 bits: keep the finer of the two.
    const int64_t target = std::max(ta, tb);
    const Wide exactNumerator = Wide(a.value_) * tb + sign * Wide(b.value_) * ta;  // over ta*tb
    const Wide sum = divideRounded(exactNumerator * target, Wide(ta) * tb);
    if (!fitsInt64(sum)) return invalid();
    MediaTime result(static_cast<int64_t>(sum), static_cast<int32_t>(target));
    result.rounded_ = a.rounded_ || b.rounded_ || sum * ta * tb != exactNumerator * target;
    return result;
}

MediaTime operator+(MediaTime a, MediaTime b) { return MediaTime::combine(a, b, +1); }
MediaTime operator-(MediaTime a, MediaTime b) { return MediaTime::combine(a, b, -1); }

MediaTime MediaTime::operator-() const {
    if (!valid_ || value_ == std::numeric_limits<int64_t>::min()) return invalid();
    MediaTime result(-value_, timescale_);
    result.rounded_ = rounded_;
    return result;
}

std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
    if (!a.valid_ || !b.valid_) return a.valid_ <=> b.valid_;
    if (a.timescale_ == b.timescale_) return a.value_ <=> b.value_;
    return Wide(a.value_) * b.timescale_ <=> Wide(b.value_) * a.timescale_;
}

std::string MediaTime::description() const {
    if (!valid_) return "invalid";
    return std::to_string(value_) + "/" + std::to_string(timescale_);
}

std::ostream& operator<<(std::ostream& out, const MediaTime& time) { return out << time.description(); }

MediaTime hostNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return MediaTime::fromNanoseconds(int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec);
}

}  // namespace brindlow
