#include "HTTP/CurlTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stop_token>

#include "Support/Concurrency.h"

namespace brindlow {
namespace {

constexpr size_t kMaxIdleLanes = 8;
// A request may run this many times its idle time-out in all, however steady its progress.
constexpr double kOverallCapFactor = 60;
constexpr long kMaxRedirects = 10;

void initialiseCurlOnce() {
    static const bool initialised = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)initialised;
}

// Feeds the request body to libcurl from memory or, streamed, from a file.
struct BodySource {
    const std::string* memory = nullptr;
    size_t offset = 0;
    FILE* file = nullptr;

    static size_t read(char* buffer, size_t size, size_t count, void* opaque) {
        auto* self = static_cast<BodySource*>(opaque);
        const size_t room = size * count;
        if (self->file) {
            const size_t n = std::fread(buffer, 1, room, self->file);
            if (n == 0 && std::ferror(self->file)) return CURL_READFUNC_ABORT;
            return n;
        }
        const size_t n = std::min(room, self->memory->size() - self->offset);
        std::memcpy(buffer, self->memory->data() + self->offset, n);
        self->offset += n;
        return n;
    }

    // Rewinds the body when libcurl sends it again: a redirect, or a reused connection
    // that died mid-send.
    static int seek(void* opaque, curl_off_t offset, int origin) {
        auto* self = static_cast<BodySource*>(opaque);
        if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
        if (self->file) return fseeko(self->file, off_t(offset), SEEK_SET) == 0 ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
        if (size_t(offset) > self->memory->size()) return CURL_SEEKFUNC_FAIL;
        self->offset = size_t(offset);
        return CURL_SEEKFUNC_OK;
    }
};

// Ends a transfer that has moved no byte, in either direction, for `idle`.
struct IdleWatch {
    std::chrono::steady_clock::duration idle;
    std::chrono::steady_clock::time_point lastProgress = std::chrono::steady_clock::now();
    curl_off_t lastBytes = 0;
    bool expired = false;

    static int check(void* opaque, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow) {
        (void)dlTotal;
        (void)ulTotal;
        auto* self = static_cast<IdleWatch*>(opaque);
        const auto now = std::chrono::steady_clock::now();
        if (dlNow + ulNow != self->lastBytes) {
            self->lastBytes = dlNow + ulNow;
            self->lastProgress = now;
            return 0;
        }
        if (now - self->lastProgress < self->idle) return 0;
        self->expired = true;
        return 1;
    }
};

size_t collect(char* data, size_t size, size_t count, void* opaque) {
    static_cast<std::string*>(opaque)->append(data, size * count);
    return size * count;
}

bool hasHeader(const HTTPRequest& request, std::string_view name) {
    for (const auto& [key, value] : request.headers)
        if (strcasecmp(key.c_str(), std::string(name).c_str()) == 0) return true;
    return false;
}

}  // namespace

struct CurlTransport::Lane {
    CURLM* multi = curl_multi_init();
    CURL* easy = curl_easy_init();
    ~Lane() {
        curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
    }
};

CurlTransport::CurlTransport() { initialiseCurlOnce(); }

CurlTransport::~CurlTransport() = default;

std::unique_ptr<CurlTransport::Lane> CurlTransport::acquire() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto lane = std::move(idle_.back());
            idle_.pop_back();
            return lane;
        }
    }
    auto lane = std::make_unique<Lane>();
    if (!lane->multi || !lane->easy) throw TransportError("cannot start an HTTP transfer");
    return lane;
}

void CurlTransport::release(std::unique_ptr<Lane> lane) {
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdleLanes) idle_.push_back(std::move(lane));
}

HTTPResponse CurlTransport::perform(const HTTPRequest& request, std::stop_token stop) {
    if (stop.stop_requested()) throw CancellationError();
    auto lane = acquire();
    CURL* easy = lane->easy;
    curl_easy_reset(easy);  // keeps the lane's live connections

    HTTPResponse response;
    BodySource source{&request.body, 0, nullptr};
    std::unique_ptr<FILE, int (*)(FILE*)> file(nullptr, &std::fclose);
    curl_off_t bodySize = curl_off_t(request.body.size());
    if (request.bodyFile) {
        auto unreadable = [&] { return TransportError("cannot read " + request.bodyFile->string() + ": " + std::strerror(errno)); };
        file.reset(std::fopen(request.bodyFile->c_str(), "rb"));
        if (!file) throw unreadable();
        // An unknown length would turn the PUT into a chunked upload the store refuses.
        if (fseeko(file.get(), 0, SEEK_END) != 0) throw unreadable();
        const off_t size = ftello(file.get());
        if (size < 0 || fseeko(file.get(), 0, SEEK_SET) != 0) throw unreadable();
        bodySize = curl_off_t(size);
        source.file = file.get();
    }
    const bool hasBody = request.bodyFile || !request.body.empty();

    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // The time-out limits waiting, not the transfer: a slow but steady upload may take
    // longer; the overall cap only ends a transfer that never finishes.
    const long timeoutMs = std::max(1L, long(request.timeoutSeconds * 1000));
    IdleWatch idle{std::chrono::milliseconds(timeoutMs)};
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(double(timeoutMs) * kOverallCapFactor));
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &IdleWatch::check);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &idle);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    if (request.method == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "PUT") {
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, bodySize);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, hasBody ? bodySize : curl_off_t(0));
        if (request.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (hasBody || request.method == "PUT") {
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &BodySource::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, &source);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &BodySource::seek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, &source);
    }

    curl_slist* headers = nullptr;
    for (const auto& [key, value] : request.headers) headers = curl_slist_append(headers, (key + ": " + value).c_str());
    // Only the caller's headers: no "Expect: 100-continue" round trip, no default Accept or Content-Type.
    headers = curl_slist_append(headers, "Expect:");
    if (!hasHeader(request, "Accept")) headers = curl_slist_append(headers, "Accept:");
    if (!hasHeader(request, "Content-Type")) headers = curl_slist_append(headers, "Content-Type:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerGuard(headers, &curl_slist_free_all);

    curl_multi_add_handle(lane->multi, easy);
    CURLcode result = CURLE_OK;
    bool cancelled = false;
    {
        CURLM* multi = lane->multi;
        std::stop_callback wake(stop, [multi] { curl_multi_wakeup(multi); });
        int running = 1;
        while (running) {
            if (stop.stop_requested()) {
                cancelled = true;
                break;
            }
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                result = CURLE_FAILED_INIT;
                break;
            }
            // Woken at least every quarter of the time-out, so an idle transfer is noticed in time.
            if (running) curl_multi_poll(multi, nullptr, 0, int(std::clamp(timeoutMs / 4, 10L, 1000L)), nullptr);
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) result = message->data.result;
        }
    }
    curl_multi_remove_handle(lane->multi, easy);
    if (cancelled) {
        // A half-finished transfer leaves its connection unusable; start the lane afresh.
        throw CancellationError();
    }
    if (result != CURLE_OK) {
        const bool timedOut = result == CURLE_OPERATION_TIMEDOUT || (result == CURLE_ABORTED_BY_CALLBACK && idle.expired);
        const std::string reason = timedOut ? "the request timed out" : curl_easy_strerror(result);
        release(std::move(lane));
        // Signed URLs carry their signature, and token URLs their key, in the query.
        throw TransportError(reason + " (" + request.method + " " + withoutQuery(request.url) + ")");
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    response.status = int(status);
    release(std::move(lane));
    return response;
}

}  // namespace brindlow
