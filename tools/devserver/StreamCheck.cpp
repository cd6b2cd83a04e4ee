#include "StreamCheck.h"

#include <algorithm>
#include <fstream>
#include <set>

#include "FragmentIndex.h"
#include "StoredStream.h"
#include "Support/AtomicFile.h"

namespace brindlow::devserver {
namespace fs = std::filesystem;

nlohmann::json checkStream(const StreamUpload& upload) {
    std::vector<std::string> problems;
    const fs::path& dir = upload.directory;
    int64_t ranges = -1;
    int64_t bytes = -1;
    const auto manifestText = readFile(dir / "manifest.json");
    if (!manifestText) {
        problems.push_back("no manifest");
    } else {
        const auto manifest = nlohmann::json::parse(*manifestText, nullptr, false);
        if (!manifest.is_object() || !manifest.contains("bytes") || !manifest.contains("ranges") ||
            !manifest["bytes"].is_number_integer() || !manifest["ranges"].is_number_integer()) {
            problems.push_back("the manifest is not {\"bytes\":…,\"ranges\":…}");
        } else {
            bytes = manifest["bytes"].get<int64_t>();
            ranges = manifest["ranges"].get<int64_t>();
        }
    }
    std::vector<int64_t> sizes;
    std::error_code ec;
    if (ranges >= 0) {
        for (int64_t n = 0; n < ranges; ++n) {
            const fs::path file = dir / (std::to_string(n) + ".mp4");
            const auto size = fs::file_size(file, ec);
            if (ec) {
                problems.push_back("range " + std::to_string(n) + " is missing");
                sizes.push_back(0);
            } else {
                sizes.push_back(int64_t(size));
            }
        }
        if (fs::exists(dir / (std::to_string(ranges) + ".mp4"), ec))
            problems.push_back("a range beyond the manifest's count arrived");
        int64_t sum = 0;
        for (int64_t s : sizes) sum += s;
        if (sum != bytes) problems.push_back("ranges hold " + std::to_string(sum) + " bytes, the manifest says " + std::to_string(bytes));
    }
    const auto init = readFile(dir / "init.mp4");
    if (!init) {
        problems.push_back("no init segment");
    } else if (!sizes.empty() && StoredStream{dir, sizes}.read(0, init->size()) != *init) {
        problems.push_back("range 0 does not begin with the init segment");
    }
    // One notice per range, in order, then the final one.
    std::vector<int64_t> expected(size_t(std::max<int64_t>(ranges, 0)));
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = int64_t(i);
    if (ranges >= 0 && upload.rangeNotices != expected) problems.push_back("range notices do not match the ranges");
    if (!upload.finalNotice) problems.push_back("no final range notice");
    if (!upload.index) {
        problems.push_back("no fragment index");
    } else {
        try {
            const FragmentIndex index = FragmentIndex::fromJSON(*upload.index);
            if (bytes >= 0 && index.totalBytes != bytes) problems.push_back("the index's totalBytes differs from the manifest");
            if (init && index.initLength != int64_t(init->size())) problems.push_back("the index's initLength differs from the init segment");
            int64_t previous = -1;
            for (const auto& e : index.entries) {
                if (e.offset <= previous) problems.push_back("index offsets do not increase");
                previous = e.offset;
                const std::string head = StoredStream{dir, sizes}.read(e.offset, 8);
                if (head.size() != 8 || head.substr(4, 4) != "moof") {
                    problems.push_back("index entry at " + std::to_string(e.offset) + " does not point at a moof box");
                }
            }
        } catch (const nlohmann::json::exception& e) {
            problems.push_back(std::string("the index does not decode: ") + e.what());
        }
    }
    return {{"stream", upload.stream}, {"ok", problems.empty()}, {"ranges", ranges}, {"bytes", bytes}, {"problems", problems}};
}

}  // namespace brindlow::devserver
