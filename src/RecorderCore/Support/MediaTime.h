#pragma once

#include <compare>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace brindlow {

// A rational time: value / timescale seconds. Arithmetic and comparison are exact
// across timescales (128-bit intermediates); only seconds() goes to floating point.
// An invalid time stands for "no timestamp" and compares below every valid one.
class MediaTime {
public:
    static constexpr int32_t kNanosecondTimescale = 1'000'000'000;

    constexpr MediaTime() = default;  // invalid
    constexpr MediaTime(int64_t value, int32_t timescale)
        : value_(value), timescale_(timescale), valid_(timescale > 0) {}

    static constexpr MediaTime invalid() { return MediaTime(); }
    static constexpr MediaTime zero() { return MediaTime(0, 1); }
    static MediaTime fromNanoseconds(int64_t ns) { return MediaTime(ns, kNanosecondTimescale); }

    bool isValid() const { return valid_; }
    int64_t value() const { return value_; }
    int32_t timescale() const { return timescale_; }
    // True when an addition or subtraction could not keep the exact result and rounded it.
    bool hasBeenRounded() const { return rounded_; }

    // Seconds as a double; NaN for an invalid time.
    double seconds() const;

    // The same instant in another timescale, rounded half away from zero.
    // Invalid when the time is invalid, the timescale is not positive, or the value overflows.
    MediaTime convertedTo(int32_t timescale) const;

    // Exact when the common timescale (the least common multiple) fits 32 bits;
    // otherwise the result uses the larger timescale, rounded, and is marked rounded.
    // Any invalid operand or an overflow gives an invalid result.
    friend MediaTime operator+(MediaTime a, MediaTime b);
    friend MediaTime operator-(MediaTime a, MediaTime b);
    MediaTime& operator+=(MediaTime other) { return *this = *this + other; }
    MediaTime& operator-=(MediaTime other) { return *this = *this - other; }
    MediaTime operator-() const;

    friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b);
    friend bool operator==(const MediaTime& a, const MediaTime& b) {
        return (a <=> b) == std::strong_ordering::equal;
    }

    std::string description() const;

private:
    static MediaTime combine(MediaTime a, MediaTime b, int sign);

    int64_t value_ = 0;
    int32_t timescale_ = 0;
    bool valid_ = false;
    bool rounded_ = false;
};

std::ostream& operator<<(std::ostream& out, const MediaTime& time);

// The host clock all capture timestamps use: CLOCK_MONOTONIC in nanoseconds.
MediaTime hostNow();

}  // namespace brindlow
