#include "CursorLog.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "Support/Text.h"

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

double roundFraction(double v) { return std::round(v * 10'000) / 10'000; }

CursorLogBuilder::CursorLogBuilder(Size display) { log_.display = display; }

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
}

std::set<int64_t> CursorLogBuilder::buttons(int64_t t, const std::set<int64_t>& pressed) {
    std::lock_guard guard(lock_);
    if (pressed == buttons_) return {};
    std::set<int64_t> newlyPressed;
    for (int64_t b : buttons_)
        if (!pressed.contains(b)) log_.clicks.push_back({t, b, false});
    for (int64_t b : pressed) {
        if (!buttons_.contains(b)) {
            log_.clicks.push_back({t, b, true});
            newlyPressed.insert(b);
        }
    }
    buttons_ = pressed;
    return newlyPressed;
}

void CursorLogBuilder::shape(int64_t t, CursorShape shape) {
    std::lock_guard guard(lock_);
    if (!log_.shapes.empty() && log_.shapes.back().shape == shape) return;
    log_.shapes.push_back({t, shape});
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
        appendInteger(out, e.t);
        for (double v : {e.x, e.y, e.width, e.height}) {
            out.push_back(',');
            appendNumber(out, v);
        }
        out.push_back(',');
        appendString(out, e.role);
        out.push_back(',');
        appendString(out, e.label);
        out.push_back(']');
    }
    out.append("]}");
    return out;
}

}  // namespace brindlow
