#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace brindlow {

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};

enum class CursorShape { arrow, pointer, text, crosshair, grab, grabbing, ewResize, nsResize, notAllowed };

inline constexpr std::array<CursorShape, 9> kAllCursorShapes{
    CursorShape::arrow,    CursorShape::pointer,  CursorShape::text,     CursorShape::crosshair, CursorShape::grab,
    CursorShape::grabbing, CursorShape::ewResize, CursorShape::nsResize, CursorShape::notAllowed};

std::string_view rawValue(CursorShape shape);
std::optional<CursorShape> cursorShapeFromRaw(std::string_view raw);

// Pointer moves, clicks, cursor shapes and clicked elements of one take. Times are
// milliseconds of recording time; positions and boxes are fractions of the display.
struct CursorLog {
    struct Move {
        int64_t t = 0;
        double x = 0;
        double y = 0;
        bool operator==(const Move&) const = default;
    };
    struct Click {
        int64_t t = 0;
        int64_t button = 0;  // 0 primary, 1 secondary, 2 middle
        bool down = false;
        bool operator==(const Click&) const = default;
    };
    struct Shape {
        int64_t t = 0;
        CursorShape shape = CursorShape::arrow;
        bool operator==(const Shape&) const = default;
    };
    struct Element {
        int64_t t = 0;
        double x = 0, y = 0, width = 0, height = 0;
        std::string role;
        std::string label;
        bool operator==(const Element&) const = default;
    };

    static constexpr size_t maxMoves = 300'000;
    static constexpr size_t maxClicks = 100'000;
    static constexpr size_t maxShapes = 50'000;
    static constexpr size_t maxElements = 100'000;
    static constexpr size_t maxLabel = 120;  // characters
    static constexpr size_t maxRole = 40;    // characters

    int64_t version = 1;
    Size display;
    std::vector<Move> moves;
    std::vector<Click> clicks;
    std::vector<Shape> shapes;
    std::vector<Element> elements;

    bool operator==(const CursorLog&) const = default;

    // The compact form: entries as arrays, "down" as 1 or 0.
    std::string encoded() const;
};

// Rounds to four decimal places, halves away from zero.
double roundFraction(double v);

// A take's cursor log as it grows, kept beside its media so that recovery can file it:
// one entry a line, each a JSON array ("m" move, "c" click, "s" shape, "e" element,
// after a first "display" line), appended straight to a file only the user may read
// and synced whenever the screen's ranges are.
class CursorLogSpool {
public:
    static constexpr const char* fileName = "cursor.log";

    // Creates (or empties) the file; throws std::system_error.
    CursorLogSpool(const std::filesystem::path& file, Size display);
    ~CursorLogSpool();
    CursorLogSpool(const CursorLogSpool&) = delete;
    CursorLogSpool& operator=(const CursorLogSpool&) = delete;

    // One entry; a failed write is logged once and the take goes on without the rest.
    void append(std::string line);
    void sync();

    // The log a spool file holds, its limits applied; lines that are torn or make no
    // sense are skipped. Nothing without a readable display line.
    static std::optional<CursorLog> read(std::string_view text);

private:
    const std::filesystem::path file_;
    int fd_ = -1;
    std::mutex lock_;
    bool failed_ = false;  // guarded by lock_
};

// Collects a cursor log from any thread; each call is one short update under the lock.
class CursorLogBuilder {
public:
    explicit CursorLogBuilder(Size display, std::shared_ptr<CursorLogSpool> spool = nullptr);
    CursorLogBuilder(const CursorLogBuilder&) = delete;
    CursorLogBuilder& operator=(const CursorLogBuilder&) = delete;

    void move(int64_t t, double x, double y);
    // Records the transitions from the last set; returns the buttons that went down now.
    std::set<int64_t> buttons(int64_t t, const std::set<int64_t>& pressed);
    void shape(int64_t t, CursorShape shape);
    void element(int64_t t, Rect box, std::string_view role, std::string_view label);
    // One button's change as a spool recorded it.
    void click(int64_t t, int64_t button, bool down);
    // The log with its limits applied; the builder is left as it was.
    CursorLog finish() const;

private:
    const std::shared_ptr<CursorLogSpool> spool_;  // gets every entry kept, in order
    mutable std::mutex lock_;
    CursorLog log_;             // guarded by lock_
    std::set<int64_t> buttons_;  // guarded by lock_; held at the last buttons() call
};

}  // namespace brindlow
