#include "Diagnostics/CrashReport.h"

#include <execinfo.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace brindlow::CrashReport {
namespace {

constexpr size_t maxFrames = 100;
constexpr size_t maxExceptionCharacters = 500;

// A fixed-size text that silently stops growing when full.
template <size_t N>
struct Buffer {
    char bytes[N];
    size_t length = 0;

    void append(const char* text, size_t count) {
        const size_t room = N - 1 - length;
        if (count > room) count = room;
        memcpy(bytes + length, text, count);
        length += count;
        bytes[length] = 0;
    }
    void append(const char* text) { append(text, strlen(text)); }
    void appendDecimal(uint64_t value, int width = 0) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = char('0' + value % 10);
            value /= 10;
        } while (value > 0 && n < 24);
        while (n < width && n < 24) digits[n++] = '0';
        while (n > 0) append(&digits[--n], 1);
    }
    // A JSON string of at most `maxCharacters` UTF-8 characters of `text`.
    void appendJSONString(const char* text, size_t maxCharacters = SIZE_MAX) {
        static const char hex[] = "0123456789abcdef";
        append("\"");
        size_t characters = 0;
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
            if ((*p & 0xC0) != 0x80 && characters++ == maxCharacters) break;
            if (*p == '"' || *p == '\\') {
                const char escaped[2] = {'\\', char(*p)};
                append(escaped, 2);
            } else if (*p < 0x20) {
                const char escaped[6] = {'\\', 'u', '0', '0', hex[*p >> 4], hex[*p & 15]};
                append(escaped, 6);
            } else {
                append(reinterpret_cast<const char*>(p), 1);
            }
        }
        append("\"");
    }
};

struct State {
    char marker[4096] = {0};  // the marker's JSON without its closing brace
    char phase[1024] = {0};   // JSON string
    char aid[512] = {0};      // JSON string or null
};

char markerPath[4096];
char markerTemporary[4096];
char diagnosticsFolder[4096];
char namePrefix[16];  // "-" and 8 hex digits, fixed per process
State states[2];
std::atomic<int> current{-1};
std::mutex stateTurn;
std::atomic<bool> written{false};
int stackPipe[2] = {-1, -1};

bool writeWhole(const char* path, const char* temporary, const char* text, size_t length) {
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, text + done, length - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    fsync(fd);
    close(fd);
    return done == length && rename(temporary, path) == 0;
}

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = unsigned(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    month = shifted < 10 ? shifted + 3 : shifted - 9;
    year = int64_t(yearOfEra) + era * 400 + (month <= 2);
}

template <size_t N>
void appendTimestamp(Buffer<N>& out, const timespec& now) {
    const int64_t seconds = now.tv_sec;
    int64_t days = seconds / 86400, secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    int64_t year;
    unsigned month, day;
    civilFromDays(days, year, month, day);
    out.appendDecimal(uint64_t(year), 4);
    out.append("-");
    out.appendDecimal(month, 2);
    out.append("-");
    out.appendDecimal(day, 2);
    out.append("T");
    out.appendDecimal(uint64_t(secondOfDay / 3600), 2);
    out.append(":");
    out.appendDecimal(uint64_t(secondOfDay / 60 % 60), 2);
    out.append(":");
    out.appendDecimal(uint64_t(secondOfDay % 60), 2);
    out.append(".");
    out.appendDecimal(uint64_t(now.tv_nsec / 1000000), 3);
    out.append("Z");
}

void copyText(char* into, size_t size, const std::string& text) {
    const size_t n = std::min(size - 1, text.size());
    memcpy(into, text.data(), n);
    into[n] = 0;
}

}  // namespace

void prepare(const std::filesystem::path& markerFile, const std::filesystem::path& diagnosticsDirectory) {
    copyText(markerPath, sizeof markerPath, markerFile.string());
    copyText(markerTemporary, sizeof markerTemporary, markerFile.string() + ".crash");
    copyText(diagnosticsFolder, sizeof diagnosticsFolder, diagnosticsDirectory.string());
    std::error_code ignored;
    std::filesystem::create_directories(diagnosticsDirectory, ignored);
    static const char hex[] = "0123456789abcdef";
    uint8_t random[4] = {0};
    if (const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC); fd >= 0) {
        if (read(fd, random, sizeof random) < 0) random[0] = 0;
        close(fd);
    }
    namePrefix[0] = '-';
    for (int i = 0; i < 4; ++i) {
        namePrefix[1 + 2 * i] = hex[random[i] >> 4];
        namePrefix[2 + 2 * i] = hex[random[i] & 15];
    }
    namePrefix[9] = 0;
    if (stackPipe[0] < 0 && pipe2(stackPipe, O_CLOEXEC | O_NONBLOCK) != 0) stackPipe[0] = stackPipe[1] = -1;
    // The first backtrace loads the unwinder, which allocates; do it now, not while dying.
    void* frames[4];
    backtrace(frames, 4);
}

void setState(const RunMarker::Run& run, const std::string& phase, const std::optional<std::string>& aid) {
    auto marker = run;
    marker.exception.reset();  // the crash supplies its own
    std::string markerText = marker.toJSON().dump();
    markerText.pop_back();  // the closing brace; "exception" comes last
    const std::string phaseText = nlohmann::json(phase).dump();
    const std::string aidText = aid ? nlohmann::json(*aid).dump() : "null";

    std::lock_guard turn(stateTurn);
    const int next = current.load() == 0 ? 1 : 0;
    copyText(states[next].marker, sizeof states[next].marker, markerText);
    copyText(states[next].phase, sizeof states[next].phase, phaseText);
    copyText(states[next].aid, sizeof states[next].aid, aidText);
    current.store(next, std::memory_order_release);
}

bool write(const char* name, const char* reason) noexcept {
    if (written.exchange(true)) return false;
    const int slot = current.load(std::memory_order_acquire);
    if (slot < 0 || !markerPath[0]) return true;
    const State& state = states[slot];
    if (!name) name = "";
    if (!reason) reason = "";

    static Buffer<2048> text;  // "name: reason"
    text.append(name);
    text.append(": ");
    text.append(reason);

    static Buffer<8192> marker;
    marker.append(state.marker);
    marker.append(",\"exception\":");
    marker.appendJSONString(text.bytes, maxExceptionCharacters);
    marker.append("}");
    writeWhole(markerPath, markerTemporary, marker.bytes, marker.length);

    // Stack lines through a pipe: the only way glibc symbolises without allocating.
    static char symbols[65536];
    size_t symbolsLength = 0;
    if (stackPipe[0] >= 0) {
        void* frames[maxFrames];
        const int count = backtrace(frames, int(maxFrames));
        backtrace_symbols_fd(frames, count, stackPipe[1]);
        ssize_t n;
        while (symbolsLength < sizeof symbols - 1 &&
               (n = read(stackPipe[0], symbols + symbolsLength, sizeof symbols - 1 - symbolsLength)) > 0)
            symbolsLength += size_t(n);
    }
    symbols[symbolsLength] = 0;

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    static Buffer<98304> diagnostic;
    diagnostic.append("{\"kind\":\"exception\",\"at\":\"");
    appendTimestamp(diagnostic, now);
    diagnostic.append("\",\"payload\":{\"name\":");
    diagnostic.appendJSONString(name);
    diagnostic.append(",\"reason\":");
    diagnostic.appendJSONString(reason);
    diagnostic.append(",\"callStack\":[");
    size_t lines = 0;
    for (char* line = symbols; *line && lines < maxFrames;) {
        char* end = strchr(line, '\n');
        if (end) *end = 0;
        if (*line) {
            if (lines++) diagnostic.append(",");
            diagnostic.appendJSONString(line);
        }
        if (!end) break;
        line = end + 1;
    }
    diagnostic.append("],\"phase\":");
    diagnostic.append(state.phase);
    diagnostic.append(",\"aid\":");
    diagnostic.append(state.aid);
    diagnostic.append("}}");

    static Buffer<4200> path, temporary;
    path.append(diagnosticsFolder);
    path.append("/");
    path.appendDecimal(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec / 1000000));
    path.append(namePrefix);
    temporary.append(path.bytes);
    path.append(".json");
    temporary.append(".crash");
    writeWhole(path.bytes, temporary.bytes, diagnostic.bytes, diagnostic.length);
    return true;
}

}  // namespace brindlow::CrashReport
