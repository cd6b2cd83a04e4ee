// Costs of the per-sample and per-segment work in the recorder core.

#include <benchmark/benchmark.h>

#include "CursorLog.h"
#include "FragmentIndex.h"
#include "MP4Boxes.h"
#include "RecordingClock.h"
#include "RecorderCore/MP4Fixture.h"

namespace brindlow {
namespace {

using namespace fixture;

// A media segment shaped like the encoder's: moof with a video and an audio traf
// (trun tables sized for 60 frames and 94 AAC frames) and one mdat of `mdatBytes`.
Bytes realisticSegment(size_t mdatBytes) {
    auto traf = [](size_t samples) {
        return container("traf", {fullBox("tfhd", 0, Bytes(12, 0)), tfdt(1, 1'800'000),
                                  fullBox("trun", 0, Bytes(8 + samples * 8, 0))});
    };
    return concat({container("moof", {fullBox("mfhd", 0, Bytes(4, 0)), traf(60), traf(94)}),
                   box("mdat", Bytes(mdatBytes, 0x5A))});
}

void BM_DecodeTimeAndMoofLookup(benchmark::State& state) {
    const Bytes segment = realisticSegment(size_t(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(MP4Boxes::decodeTime(segment));
        benchmark::DoNotOptimize(MP4Boxes::firstMoofOffset(segment));
    }
    state.SetLabel(std::to_string(segment.size()) + " bytes");
}
// About 2 KB and a 2-second 1080p segment of about 2 MB.
BENCHMARK(BM_DecodeTimeAndMoofLookup)->Arg(700)->Arg(2'000'000);

void BM_Retime(benchmark::State& state) {
    RecordingClock clock;
    clock.begin(MediaTime::fromNanoseconds(0));
    const int pauses = int(state.range(0));
    for (int i = 0; i < pauses; ++i) {
        clock.pause(MediaTime::fromNanoseconds(int64_t(i) * 2'000'000'000 + 1'000'000'000));
        clock.resume(MediaTime::fromNanoseconds(int64_t(i) * 2'000'000'000 + 1'500'000'000));
    }
    const SampleBuffer frame = SampleBuffer::video(
        VideoFrame::make(16, 16),
        {MediaTime(1, 30), MediaTime::fromNanoseconds(int64_t(pauses) * 2'000'000'000 + 10'000'000), {}});
    for (auto _ : state) benchmark::DoNotOptimize(clock.retime(frame));
}
BENCHMARK(BM_Retime)->Arg(0)->Arg(50);

void BM_EncodeCursorLog(benchmark::State& state) {
    CursorLogBuilder builder(Size{1920, 1080});
    for (int64_t i = 0; i < 300'000; ++i)
        builder.move(i * 16, double(i % 1920) / 1920.0, double((i / 1920) % 1080) / 1080.0);
    const CursorLog log = builder.finish();
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = log.encoded();
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetLabel(std::to_string(log.moves.size()) + " moves, " + std::to_string(bytes) + " bytes");
}
BENCHMARK(BM_EncodeCursorLog)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brindlow
