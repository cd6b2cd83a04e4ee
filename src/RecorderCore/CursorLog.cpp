#include "CursorLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

#include "Support/PrivateFiles.h"
#include "Support/Text.h"
#include "Telemetry.h"

namespace brindlow {

std::string_view rawValue(CursorShape shape) {
    switch (shape) {
        case CursorShape::arrow: return "default";
        case CursorShape::pointer: return "pointer";
        case CursorShape::text: return "text";
        case CursorShape::crosshair: return "crosshair";
        case CursorShape::grab: return "grab";
        case CursorShape::grabbing: return "grabbing";
        case CursorShape::ewResize: return "ew-resize";
        case CursorShape::nsResize: return "ns-resize";
        case CursorShape::notAllowed: return "not-allowed";
    }
    return "default";
}

std::optional<CursorShape> cursorShapeFromRaw(std::string_view raw) {
    for (CursorShape s : kAllCursorShapes)
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

namespace {

// Spool lines, below.
std::string moveLine(const CursorLog::Move& m);
std::string clickLine(const CursorLog::Click& c);
std::string shapeLine(const CursorLog::Shape& s);
std::string elementLine(const CursorLog::Element& e);

}  // namespace

double roundFraction(double v) { return std::round(v * 10'000) / 10'000; }

CursorLogBuilder::CursorLogBuilder(Size display, std::shared_ptr<CursorLogSpool> spool) : spool_(std::move(spool)) {
    log_.display = display;
}

void CursorLogBuilder::move(int64_t t, double x, double y) {
    // A non-finite position cannot be written as JSON and would cost the whole log.
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    const double rx = roundFraction(x);
    const double ry = roundFraction(y);
    std::lock_guard guard(lock_);
    auto& moves = log_.moves;
    if (!moves.empty()) {
        if (t < moves.back().t) return;
        if (rx == moves.back().x && ry == moves.back().y) return;
    }
    moves.push_back({t, rx, ry});
    if (spool_) spool_->append(moveLine(moves.back()));
}

std::set<int64_t> CursorLogBuilder::buttons(int64_t t, const std::set<int64_t>& pressed) {
    std::lock_guard guard(lock_);
    if (pressed == buttons_) return {};
    std::set<int64_t> newlyPressed;
    auto add = [&](int64_t b, bool down) {
        log_.clicks.push_back({t, b, down});
        if (spool_) spool_->append(clickLine(log_.clicks.back()));
    };
    for (int64_t b : buttons_)
        if (!pressed.contains(b)) add(b, false);
    for (int64_t b : pressed) {
        if (!buttons_.contains(b)) {
            add(b, true);
            newlyPressed.insert(b);
        }
    }
    buttons_ = pressed;
    return newlyPressed;
}

void CursorLogBuilder::click(int64_t t, int64_t button, bool down) {
    std::lock_guard guard(lock_);
    if (button < 0 || button > 2 || buttons_.contains(button) == down) return;
    if (!log_.clicks.empty() && t < log_.clicks.back().t) return;
    if (down) buttons_.insert(button);
    else buttons_.erase(button);
    log_.clicks.push_back({t, button, down});
    if (spool_) spool_->append(clickLine(log_.clicks.back()));
}

void CursorLogBuilder::shape(int64_t t, CursorShape shape) {
    std::lock_guard guard(lock_);
    if (!log_.shapes.empty() && log_.shapes.back().shape == shape) return;
    log_.shapes.push_back({t, shape});
    if (spool_) spool_->append(shapeLine(log_.shapes.back()));
}

void CursorLogBuilder::element(int64_t t, Rect box, std::string_view role, std::string_view label) {
    const double minX = std::max(box.x, 0.0);
    const double minY = std::max(box.y, 0.0);
    const double maxX = std::min(box.x + box.width, 1.0);
    const double maxY = std::min(box.y + box.height, 1.0);
    // Written as negated comparisons so that NaN boxes are dropped too.
    if (!(maxX - minX > 0) || !(maxY - minY > 0)) return;
    CursorLog::Element e{t,
                         roundFraction(minX),
                         roundFraction(minY),
                         roundFraction(maxX - minX),
                         roundFraction(maxY - minY),
                         characterPrefix(sanitizeUTF8(role), CursorLog::maxRole),
                         characterPrefix(sanitizeUTF8(label), CursorLog::maxLabel)};
    std::lock_guard guard(lock_);
    auto& elements = log_.elements;
    if (elements.size() >= CursorLog::maxElements) return;
    if (elements.empty() ? t < 0 : t < elements.back().t) return;
    elements.push_back(std::move(e));
    if (spool_) spool_->append(elementLine(elements.back()));
}

CursorLog CursorLogBuilder::finish() const {
    CursorLog log;
    {
        std::lock_guard guard(lock_);
        log = log_;
    }
    while (log.moves.size() > CursorLog::maxMoves) {
        const CursorLog::Move last = log.moves.back();
        size_t kept = 0;
        for (size_t i = 0; i < log.moves.size(); i += 2) log.moves[kept++] = log.moves[i];
        log.moves.resize(kept);
        if (!(log.moves.back() == last)) log.moves.push_back(last);
    }
    if (log.clicks.size() > CursorLog::maxClicks) log.clicks.resize(CursorLog::maxClicks);
    if (log.shapes.size() > CursorLog::maxShapes) log.shapes.resize(CursorLog::maxShapes);
    return log;
}

namespace {

void appendInteger(std::string& out, int64_t v) {
    char buffer[24];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    out.append(buffer, r.ptr);
}

// Shortest text that reads back as the same double; integral values carry no fraction.
void appendNumber(std::string& out, double v) {
    if (!std::isfinite(v)) v = 0;
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    out.append(buffer, r.ptr);
}

void appendString(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (unsigned char c : s) {
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                if (c < 0x20) {
                    out.append("\\u00");
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

// Spool lines: a JSON array an entry.
std::string moveLine(const CursorLog::Move& m) {
    std::string out = "[\"m\",";
    appendInteger(out, m.t);
    out.push_back(',');
    appendNumber(out, m.x);
    out.push_back(',');
    appendNumber(out, m.y);
    out.append("]");
    return out;
}

std::string clickLine(const CursorLog::Click& c) {
    std::string out = "[\"c\",";
    appendInteger(out, c.t);
    out.push_back(',');
    appendInteger(out, c.button);
    out.append(c.down ? ",1]" : ",0]");
    return out;
}

std::string shapeLine(const CursorLog::Shape& s) {
    std::string out = "[\"s\",";
    appendInteger(out, s.t);
    out.push_back(',');
    appendString(out, rawValue(s.shape));
    out.append("]");
    return out;
}

// An element's fields, in the order both the log and its spooled lines keep them.
void appendElementFields(std::string& out, const CursorLog::Element& e) {
    appendInteger(out, e.t);
    for (double v : {e.x, e.y, e.width, e.height}) {
        out.push_back(',');
        appendNumber(out, v);
    }
    out.push_back(',');
    appendString(out, e.role);
    out.push_back(',');
    appendString(out, e.label);
}

std::string elementLine(const CursorLog::Element& e) {
    std::string out = "[\"e\",";
    appendElementFields(out, e);
    out.append("]");
    return out;
}

}  // namespace

std::string CursorLog::encoded() const {
    std::string out;
    out.reserve(64 + moves.size() * 24 + clicks.size() * 16 + shapes.size() * 24 + elements.size() * 80);
    out.append("{\"version\":");
    appendInteger(out, version);
    out.append(",\"display\":{\"width\":");
    appendNumber(out, display.width);
    out.append(",\"height\":");
    appendNumber(out, display.height);
    out.append("},\"moves\":[");
    for (size_t i = 0; i < moves.size(); ++i) {
        if (i) out.push_back(',');
        out.push_back('[');
        appendInteger(out, moves[i].t);
        out.push_back(',');
        appendNumber(out, moves[i].x);
        out.push_back(',');
        appendNumber(out, moves[i].y);
        out.push_back(']');
    }
    out.append("],\"clicks\":[");
    for (size_t i = 0; i < clicks.size(); ++i) {
        if (i) out.push_back(',');
        out.push_back('[');
        appendInteger(out, clicks[i].t);
        out.push_back(',');
        appendInteger(out, clicks[i].button);
        out.append(clicks[i].down ? ",1]" : ",0]");
    }
    out.append("],\"shapes\":[");
    for (size_t i = 0; i < shapes.size(); ++i) {
        if (i) out.push_back(',');
        out.push_back('[');
        appendInteger(out, shapes[i].t);
        out.push_back(',');
        appendString(out, rawValue(shapes[i].shape));
        out.push_back(']');
    }
    out.append("],\"elements\":[");
    for (size_t i = 0; i < elements.size(); ++i) {
        const Element& e = elements[i];
        if (i) out.push_back(',');
        out.push_back('[');
        appendElementFields(out, e);
        out.push_back(']');
    }
    out.append("]}");
    return out;
}

}  // namespace brindlow

namespace brindlow {

CursorLogSpool::CursorLogSpool(const std::filesystem::path& file, Size display)
    : file_(file), fd_(openPrivateFile(file, O_TRUNC | O_APPEND)) {
    std::string first = "[\"display\",";
    appendNumber(first, display.width);
    first.push_back(',');
    appendNumber(first, display.height);
    append(first + "]");
}

CursorLogSpool::~CursorLogSpool() { ::close(fd_); }

void CursorLogSpool::append(std::string line) {
    line.push_back('\n');
    std::lock_guard guard(lock_);
    if (failed_) return;
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Recovery reads up to here; the live log in memory is complete anyway.
            systemLog("Brindlow Recorder: cannot write " + file_.string() + "; its cursor log is kept in memory only");
            failed_ = true;
            return;
        }
        done += size_t(n);
    }
}

void CursorLogSpool::sync() { ::fsync(fd_); }

std::optional<CursorLog> CursorLogSpool::read(std::string_view text) {
    std::optional<CursorLogBuilder> builder;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const auto entry = nlohmann::json::parse(line, nullptr, false);
        if (!entry.is_array() || entry.empty() || !entry[0].is_string()) continue;
        const std::string& kind = entry[0].get_ref<const std::string&>();
        auto numbers = [&](size_t from, size_t count) {
            if (entry.size() < from + count) return false;
            for (size_t i = from; i < from + count; ++i)
                if (!entry[i].is_number()) return false;
            return true;
        };
        const bool timed = entry.size() >= 2 && entry[1].is_number_integer();
        if (kind == "display" && !builder && entry.size() == 3 && numbers(1, 2)) {
            builder.emplace(Size{entry[1].get<double>(), entry[2].get<double>()});
        } else if (!builder || !timed) {
            continue;
        } else if (kind == "m" && entry.size() == 4 && numbers(2, 2)) {
            builder->move(entry[1].get<int64_t>(), entry[2].get<double>(), entry[3].get<double>());
        } else if (kind == "c" && entry.size() == 4 && entry[2].is_number_integer() && entry[3].is_number_integer()) {
            builder->click(entry[1].get<int64_t>(), entry[2].get<int64_t>(), entry[3].get<int64_t>() != 0);
        } else if (kind == "s" && entry.size() == 3 && entry[2].is_string()) {
            if (const auto shape = cursorShapeFromRaw(entry[2].get_ref<const std::string&>()))
                builder->shape(entry[1].get<int64_t>(), *shape);
        } else if (kind == "e" && entry.size() == 8 && numbers(2, 4) && entry[6].is_string() && entry[7].is_string()) {
            builder->element(entry[1].get<int64_t>(),
                             Rect{entry[2].get<double>(), entry[3].get<double>(), entry[4].get<double>(),
                                  entry[5].get<double>()},
                             entry[6].get_ref<const std::string&>(), entry[7].get_ref<const std::string&>());
        }
    }
    if (!builder) return std::nullopt;
    return builder->finish();
}

}  // namespace brindlow
