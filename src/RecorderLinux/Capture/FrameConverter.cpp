#include "Capture/FrameConverter.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <stdexcept>

#include "Capture/PictureKernels.h"

namespace brindlow {
namespace {

AVPixelFormat pixelFormat(FrameConverter::Input input) {
    switch (input) {
        case FrameConverter::Input::bgr0: return AV_PIX_FMT_BGR0;
        case FrameConverter::Input::yuyv: return AV_PIX_FMT_YUYV422;
        // The JPEG formats are their plain kin at full range, which is set below.
        case FrameConverter::Input::yuv420p:
        case FrameConverter::Input::yuvj420p: return AV_PIX_FMT_YUV420P;
        case FrameConverter::Input::yuv422p:
        case FrameConverter::Input::yuvj422p: return AV_PIX_FMT_YUV422P;
    }
    return AV_PIX_FMT_NONE;
}

}  // namespace

PictureArea PictureArea::alignedToBlocks(int pictureWidth, int pictureHeight) const {
    const int left = std::clamp(x & ~1, 0, pictureWidth);
    const int top = std::clamp(y & ~1, 0, pictureHeight);
    const int right = std::clamp((x + width + 1) & ~1, left, pictureWidth);
    const int bottom = std::clamp((y + height + 1) & ~1, top, pictureHeight);
    return {left, top, right - left, bottom - top};
}

FrameConverter::FrameConverter(Input input, int width, int height, int outWidth, int outHeight, int threads,
                               Method method)
    : width_(width), height_(height), outWidth_(outWidth), outHeight_(outHeight) {
    const bool wholeBlocks = outWidth >= 2 && outHeight >= 2 && outWidth % 2 == 0 && outHeight % 2 == 0;
    // The same size: the input with an odd last row or column dropped.
    const bool sameSize = outWidth == (width & ~1) && outHeight == (height & ~1);
    if (method == Method::fastest && wholeBlocks && sameSize) {
        // YUYV keeps its matrix and range, so repacking it is exact; libyuv does that.
        if (input == Input::bgr0) direct_ = Direct::bgr0;
        if (input == Input::yuyv) direct_ = Direct::yuyv;
    } else if (method == Method::fastest && wholeBlocks && input == Input::bgr0) {
        direct_ = Direct::scaledBGR0;
        scaled_.resize(size_t(outWidth) * size_t(outHeight) * 4);
    }
    if (direct_ != Direct::none) return;
    context_ = sws_alloc_context();
    if (!context_) throw std::runtime_error("out of memory for the picture converter");
    // Full-chroma input keeps thin coloured lines (text, UI edges) sharp.
    const int64_t flags = SWS_BILINEAR | (input == Input::bgr0 ? SWS_FULL_CHR_H_INP : 0);
    av_opt_set_int(context_, "srcw", width, 0);
    av_opt_set_int(context_, "srch", height, 0);
    av_opt_set_int(context_, "src_format", pixelFormat(input), 0);
    av_opt_set_int(context_, "dstw", outWidth, 0);
    av_opt_set_int(context_, "dsth", outHeight, 0);
    av_opt_set_int(context_, "dst_format", AV_PIX_FMT_NV12, 0);
    av_opt_set_int(context_, "sws_flags", flags, 0);
    av_opt_set_int(context_, "threads", threads, 0);
    if (sws_init_context(context_, nullptr, nullptr) < 0) {
        sws_freeContext(context_);
        throw std::runtime_error("the picture converter does not take this size or format");
    }
    // RGB input is full range by nature; camera YUV is video range unless JPEG's.
    // A YUV source keeps its matrix: the converter only maps its range and size.
    const bool sourceFull = input == Input::bgr0 || input == Input::yuvj420p || input == Input::yuvj422p;
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context_, bt709, sourceFull ? 1 : 0, bt709, 0, 0, 1 << 16, 1 << 16);
}

FrameConverter::~FrameConverter() { sws_freeContext(context_); }

VideoFrame FrameConverter::convert(const std::array<const uint8_t*, 4>& planes,
                                   const std::array<int, 4>& strides) const {
    VideoFrame frame = VideoFrame::make(outWidth_, outHeight_);
    switch (direct_) {
        case Direct::bgr0:
            convertArea(planes[0], strides[0], {0, 0, outWidth_, outHeight_}, frame);
            return frame;
        case Direct::scaledBGR0:
            // Channel order does not matter to a scaler of four-byte pixels.
            libyuv::ARGBScale(planes[0], strides[0], width_, height_, scaled_.data(), outWidth_ * 4, outWidth_,
                              outHeight_, libyuv::kFilterBilinear);
            bgr0ToNV12(scaled_.data(), outWidth_ * 4, outWidth_, outHeight_, frame.lumaPlane().data(), frame.strideY,
                       frame.chromaPlane().data(), frame.strideUV);
            return frame;
        case Direct::yuyv:
            libyuv::YUY2ToNV12(planes[0], strides[0], frame.lumaPlane().data(), frame.strideY,
                               frame.chromaPlane().data(), frame.strideUV, outWidth_, outHeight_);
            return frame;
        case Direct::none: break;
    }
    uint8_t* out[4] = {frame.lumaPlane().data(), frame.chromaPlane().data(), nullptr, nullptr};
    const int outStrides[4] = {frame.strideY, frame.strideUV, 0, 0};
    sws_scale(context_, planes.data(), strides.data(), 0, height_, out, outStrides);
    return frame;
}

void FrameConverter::convertArea(const uint8_t* pixels, int stride, const PictureArea& area, VideoFrame& into) const {
    if (direct_ != Direct::bgr0 || into.width != outWidth_ || into.height != outHeight_ ||
        area.alignedToBlocks(outWidth_, outHeight_) != area || area.width == 0 || area.height == 0)
        return;
    bgr0ToNV12(pixels, stride, area.width, area.height,
               into.lumaPlane().data() + ptrdiff_t(area.y) * into.strideY + area.x, into.strideY,
               into.chromaPlane().data() + ptrdiff_t(area.y / 2) * into.strideUV + area.x, into.strideUV);
}

}  // namespace brindlow
