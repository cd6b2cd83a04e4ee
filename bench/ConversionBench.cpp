// Picture conversions the capture sources can use, side by side: the direct BT.709
// converter, libswscale and libyuv, at the sizes the recorder meets.
//
//   ConversionBench [--benchmark_filter=...]
//
// libyuv's RGB to YUV conversions in Debian 12 know only BT.601, which would shift
// every colour of a BT.709 stream; its row is there to show what speed it would buy.

#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

#include <random>
#include <vector>

#include "Capture/FrameConverter.h"

using namespace brindlow;

namespace {

std::vector<uint8_t> noise(size_t bytes) {
    std::vector<uint8_t> v(bytes);
    std::mt19937 random(3);
    for (auto& b : v) b = uint8_t(random());
    return v;
}

void screenToNV12(benchmark::State& state, FrameConverter::Method method) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const auto pixels = noise(size_t(w) * h * 4);
    const FrameConverter converter(FrameConverter::Input::bgr0, w, h, w, h, 1, method);
    for (auto _ : state) benchmark::DoNotOptimize(converter.convert(pixels.data(), w * 4));
    state.SetItemsProcessed(state.iterations() * int64_t(w) * h);
}
void BGR0ToNV12Direct(benchmark::State& state) { screenToNV12(state, FrameConverter::Method::fastest); }
void BGR0ToNV12Swscale(benchmark::State& state) { screenToNV12(state, FrameConverter::Method::swscale); }

void BGR0ToNV12LibyuvBT601(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const auto pixels = noise(size_t(w) * h * 4);
    VideoFrame frame = VideoFrame::make(w, h);
    for (auto _ : state)
        libyuv::ARGBToNV12(pixels.data(), w * 4, frame.lumaPlane().data(), frame.strideY, frame.chromaPlane().data(),
                           frame.strideUV, w, h);
    state.SetItemsProcessed(state.iterations() * int64_t(w) * h);
}

void cameraToNV12(benchmark::State& state, FrameConverter::Input input, FrameConverter::Method method) {
    const int w = int(state.range(0)), h = int(state.range(1));
    const bool packed = input == FrameConverter::Input::yuyv;
    const auto bytes = noise(size_t(w) * h * 2);
    const FrameConverter converter(input, w, h, w, h, 1, method);
    const std::array<const uint8_t*, 4> planes{bytes.data(), bytes.data() + size_t(w) * h,
                                               bytes.data() + size_t(w) * h * 3 / 2, nullptr};
    const std::array<int, 4> strides = packed ? std::array<int, 4>{w * 2, 0, 0, 0} : std::array<int, 4>{w, w / 2, w / 2, 0};
    for (auto _ : state) benchmark::DoNotOptimize(converter.convert(planes, strides));
    state.SetItemsProcessed(state.iterations() * int64_t(w) * h);
}
void YUYVToNV12Libyuv(benchmark::State& s) { cameraToNV12(s, FrameConverter::Input::yuyv, FrameConverter::Method::fastest); }
void YUYVToNV12Swscale(benchmark::State& s) { cameraToNV12(s, FrameConverter::Input::yuyv, FrameConverter::Method::swscale); }
// Decoded MJPEG: full-range 4:2:2 to video-range 4:2:0, which libyuv cannot do in one step.
void MJPEG422ToNV12Swscale(benchmark::State& s) {
    cameraToNV12(s, FrameConverter::Input::yuvj422p, FrameConverter::Method::swscale);
}

// A 5K screen fitted to the encoder: libswscale in one pass (one or two threads), or
// libyuv scaling the RGB picture and then the direct converter.
void fitted5K(benchmark::State& state, FrameConverter::Method method, int threads) {
    const auto pixels = noise(size_t(5120) * 2880 * 4);
    const FrameConverter converter(FrameConverter::Input::bgr0, 5120, 2880, 4096, 2304, threads, method);
    for (auto _ : state) benchmark::DoNotOptimize(converter.convert(pixels.data(), 5120 * 4));
}
void FittedSwscale(benchmark::State& s) { fitted5K(s, FrameConverter::Method::swscale, int(s.range(0))); }
void FittedLibyuvThenDirect(benchmark::State& s) { fitted5K(s, FrameConverter::Method::fastest, 1); }

}  // namespace

BENCHMARK(BGR0ToNV12Direct)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);
BENCHMARK(BGR0ToNV12Swscale)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);
BENCHMARK(BGR0ToNV12LibyuvBT601)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);
BENCHMARK(YUYVToNV12Libyuv)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(YUYVToNV12Swscale)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(MJPEG422ToNV12Swscale)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(FittedSwscale)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FittedLibyuvThenDirect)->Unit(benchmark::kMillisecond);
