#include "WebApp.h"

#include <algorithm>

#include "ByteRange.h"
#include "WebAssets.h"
#include "WebGate.h"

namespace brindlow::devserver {
using json = nlohmann::json;

namespace {

constexpr size_t kChunk = 256 * 1024;

// Blob URLs carry the media a page feeds itself; nothing else comes from elsewhere.
constexpr const char* kPagePolicy =
    "default-src 'self'; media-src 'self' blob:; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
    "frame-ancestors 'none'";

void page(httplib::Response& res, std::string_view name, int status = 200) {
    const auto asset = findWebAsset(name);
    if (!asset) {
        res.status = 500;
        res.set_content("the page " + std::string(name) + " is not built in", "text/plain");
        return;
    }
    res.status = status;
    res.set_header("Content-Security-Policy", kPagePolicy);
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(std::string(asset->bytes), std::string(asset->type).c_str());
}

void answerJSON(httplib::Response& res, const json& body, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(body.dump(), "application/json");
}

void notFound(httplib::Response& res, const std::string& what) {
    answerJSON(res, {{"error", what}}, 404);
}

// Runs `body`, turning any escaping exception into a plain 500.
template <typename Body>
void guarded(httplib::Response& res, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        res.status = 500;
        res.set_content(std::string("internal error: ") + e.what(), "text/plain");
    }
}

void serveStream(const httplib::Request& req, httplib::Response& res, const TakeCatalog& takes) {
    const auto aid = takes.resolve(req.matches[1]);
    const auto stream = aid ? takes.stream(*aid, req.matches[2]) : std::nullopt;
    if (!stream) return notFound(res, "no such stream");
    const int64_t size = stream->bytes();
    if (size == 0) return notFound(res, "nothing of this stream has arrived yet");
    const ByteRange range = ByteRange::parse(req.get_header_value(WebGate::kRangeHeader), size);
    res.set_header("Accept-Ranges", "bytes");
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    switch (range.kind) {
        case ByteRange::Kind::malformed:
            res.status = 400;
            res.set_content("the Range header is malformed (one range of bytes, e.g. bytes=0-1023)", "text/plain");
            return;
        case ByteRange::Kind::unsatisfiable:
            res.status = 416;
            res.set_header("Content-Range", "bytes */" + std::to_string(size));
            res.set_content("the range lies outside the stream's " + std::to_string(size) + " bytes", "text/plain");
            return;
        case ByteRange::Kind::whole:
        case ByteRange::Kind::part: break;
    }
    const int64_t first = range.kind == ByteRange::Kind::part ? range.first : 0;
    const int64_t last = range.kind == ByteRange::Kind::part ? range.last : size - 1;
    if (range.kind == ByteRange::Kind::part) {
        res.status = 206;
        res.set_header("Content-Range",
                       "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
    } else {
        res.status = 200;
    }
    if (req.has_param("download"))
        res.set_header("Content-Disposition", "attachment; filename=\"" + *aid + "-" + std::string(req.matches[2]) + ".mp4\"");
    const size_t length = size_t(last - first + 1);
    res.set_content_provider(length, "video/mp4",
                             [stored = *stream, first, length](size_t offset, size_t count, httplib::DataSink& sink) {
        if (offset >= length) return false;
        const std::string bytes = stored.read(first + int64_t(offset), std::min({count, kChunk, length - offset}));
        // A range file shorter than its record ends the answer rather than padding it.
        return !bytes.empty() && sink.write(bytes.data(), bytes.size());
    });
}

}  // namespace

void routeWebApp(httplib::Server& web, const TakeCatalog& takes) {
    web.Get("/", [](const httplib::Request&, httplib::Response& res) { page(res, "library.html"); });
    web.Get(R"(/screen-recorder/view/([^/]+))", [&takes](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
            if (takes.resolve(req.matches[1])) page(res, "view.html");
            else page(res, "not-found.html", 404);
        });
    });
    web.Get(R"(/_web/([a-z0-9.-]+))", [](const httplib::Request& req, httplib::Response& res) {
        const auto asset = findWebAsset(std::string(req.matches[1]));
        if (!asset) return notFound(res, "no such file");
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_content(std::string(asset->bytes), std::string(asset->type).c_str());
    });
    web.Get("/screen-recorder/api/takes", [&takes](const httplib::Request&, httplib::Response& res) {
        guarded(res, [&] { answerJSON(res, {{"takes", takes.list()}}); });
    });
    web.Get(R"(/screen-recorder/api/takes/([^/]+))", [&takes](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
            const auto aid = takes.resolve(req.matches[1]);
            if (!aid) return notFound(res, "no such recording");
            answerJSON(res, takes.describe(*aid));
        });
    });
    web.Get(R"(/screen-recorder/api/takes/([^/]+)/cursor)", [&takes](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] {
            const auto aid = takes.resolve(req.matches[1]);
            const auto log = aid ? takes.cursorLog(*aid) : std::nullopt;
            if (!log) return notFound(res, "no cursor log");
            res.set_header("Cache-Control", "no-store");
            res.set_content(*log, "application/json");
        });
    });
    web.Get(R"(/screen-recorder/media/([^/]+)/([^/]+))", [&takes](const httplib::Request& req, httplib::Response& res) {
        guarded(res, [&] { serveStream(req, res, takes); });
    });
}

}  // namespace brindlow::devserver
