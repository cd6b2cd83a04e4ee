#include "FFmpeg/FFmpegSegmentEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "FFmpeg/PresetStepper.h"
#include "FFmpeg/X264Stream.h"
#include "RecorderError.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace {

constexpr int kVideoTimescale = 90'000;
constexpr int kAudioSampleRate = 48'000;
constexpr int kAudioBitRate = 128'000;
constexpr int64_t kFadeInFrames = kAudioSampleRate / 50;  // 20 ms
constexpr double k1080p30 = 1920.0 * 1080 * 30;  // pixels per second

double pixelRate(const VideoOutputSettings& s) {
    return double(s.width) * double(s.height) * double(s.expectedSourceFrameRate);
}

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void check(int code, const char* what) {
    if (code < 0) throw EncoderError(std::string(what) + ": " + avErrorText(code));
}

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct BufferDeleter {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct SwsDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferDeleter>;

PacketPtr makePacket() { return PacketPtr(av_packet_alloc()); }

std::optional<std::string> firstRenderNode() {
    std::error_code ec;
    for (int i = 128; i < 136; ++i) {
        const std::string path = "/dev/dri/renderD" + std::to_string(i);
        if (std::filesystem::exists(path, ec)) return path;
    }
    return std::nullopt;
}

}  // namespace

std::string FFmpegSegmentEncoder::presetFor(const VideoOutputSettings& s) {
    // Measured on two cores: 1080p30 keeps real time at veryfast, 4K30 only at ultrafast.
    const double rate = pixelRate(s);
    std::string preset = rate <= k1080p30 ? "veryfast" : rate <= 2 * k1080p30 ? "superfast" : "ultrafast";
    if (s.prioritizeSpeedOverQuality && preset == "veryfast") preset = "superfast";
    return preset;
}

// Everything libav: encoders, muxer and the cutting state. Built on the caller's
// thread, then used only by the encoder thread.
struct FFmpegSegmentEncoder::Pipeline {
    VideoOutputSettings video;
    std::optional<AudioSettings> audio;
    OnSegment onSegment;
    std::string description;

    std::unique_ptr<X264Stream> x264;     // software video
    std::optional<PresetStepper> stepper;  // software video at one of the ladder's presets
    CodecContextPtr videoCodec;           // VAAPI video
    CodecContextPtr audioCodec;
    BufferPtr hwDevice;  // VAAPI only
    AVFormatContext* muxer = nullptr;
    AVIOContext* io = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    std::vector<uint8_t> output;  // bytes the muxer wrote since the last segment

    // Video timing, in 90 kHz ticks.
    int64_t frameTicks = 3000;
    int64_t lastVideoPts = INT64_MIN;
    int64_t nextKeyBoundary = 0;  // two seconds after the last key frame
    int64_t framesSinceKey = 0;
    PacketPtr heldVideo;          // held back one packet to learn its duration
    bool fragmentHasVideo = false;
    std::unique_ptr<SwsContext, SwsDeleter> scaler;
    VideoFrame scaled;  // a picture of another size, fitted
    std::weak_ptr<const SampleBuffer::Payload> lastPicture;  // to tell a repeated picture

    // Audio, in 48 kHz samples; appended on the capture side, muxed on the encoder thread.
    std::mutex audioLock;  // guards the audio fields below and audioCodec after opening
    bool audioClosed = false;  // flushed: nothing more goes in
    std::vector<float> audioFifo;
    std::optional<int64_t> audioFifoStart;  // timeline position of audioFifo[0]
    bool audioStarted = false;               // a sample has gone into the fifo
    int64_t fadeIn = kFadeInFrames;          // frames of the current fade-in done
    std::deque<PacketPtr> audioPackets;       // encoded, waiting for their fragment
    std::unique_ptr<SwrContext, SwrDeleter> resampler;
    int resamplerRate = 0;
    int resamplerChannels = 0;

    ~Pipeline() {
        if (muxer) {
            avformat_free_context(muxer);
        }
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }

    static int writeCallback(void* opaque, uint8_t* data, int size) {
        auto* self = static_cast<Pipeline*>(opaque);
        self->output.insert(self->output.end(), data, data + size);
        return size;
    }

    bool openVAAPI() {
        const auto node = firstRenderNode();
        const AVCodec* codec = avcodec_find_encoder_by_name("h264_vaapi");
        if (!node || !codec) return false;
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, node->c_str(), nullptr, 0) < 0) return false;
        BufferPtr deviceRef(device);
        BufferPtr frames(av_hwframe_ctx_alloc(device));
        if (!frames) return false;
        auto* framesCtx = reinterpret_cast<AVHWFramesContext*>(frames->data);
        framesCtx->format = AV_PIX_FMT_VAAPI;
        framesCtx->sw_format = AV_PIX_FMT_NV12;
        framesCtx->width = int(video.width);
        framesCtx->height = int(video.height);
        framesCtx->initial_pool_size = 8;
        if (av_hwframe_ctx_init(frames.get()) < 0) return false;
        CodecContextPtr ctx(avcodec_alloc_context3(codec));
        configureVideoContext(ctx.get());
        ctx->pix_fmt = AV_PIX_FMT_VAAPI;
        ctx->hw_frames_ctx = av_buffer_ref(frames.get());
        if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return false;
        videoCodec = std::move(ctx);
        hwDevice = std::move(deviceRef);
        description = "h264_vaapi";
        return true;
    }

    void configureVideoContext(AVCodecContext* ctx) const {
        ctx->width = int(video.width);
        ctx->height = int(video.height);
        ctx->time_base = AVRational{1, kVideoTimescale};
        ctx->framerate = AVRational{int(video.expectedSourceFrameRate), 1};
        ctx->bit_rate = video.averageBitRate;
        ctx->gop_size = int(video.maxKeyFrameInterval);
        ctx->max_b_frames = 0;
        ctx->profile = FF_PROFILE_H264_HIGH;
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        ctx->color_primaries = AVCOL_PRI_BT709;
        ctx->color_trc = AVCOL_TRC_BT709;
        ctx->colorspace = AVCOL_SPC_BT709;
        ctx->color_range = AVCOL_RANGE_MPEG;
    }

    void openX264(const std::optional<std::string>& presetOverride) {
        X264Stream::Settings settings;
        settings.width = int(video.width);
        settings.height = int(video.height);
        settings.fps = int(video.expectedSourceFrameRate);
        settings.bitRate = video.averageBitRate;
        settings.maxKeyInterval = int(video.maxKeyFrameInterval);
        settings.timescale = kVideoTimescale;
        settings.preset = presetOverride.value_or(presetFor(video));
        // One thread is the cheapest way to 1080p30; more only where one cannot keep up.
        settings.threads = pixelRate(video) <= k1080p30 ? 1 : 0;
        try {
            x264 = std::make_unique<X264Stream>(settings);
        } catch (const EncoderError&) {
            throw RecorderError::encoderUnavailable("video input rejected");
        }
        const auto ladder = x264PresetLadder();
        const auto step = std::find(ladder.begin(), ladder.end(), settings.preset);
        if (step != ladder.end())
            stepper.emplace(ladder, size_t(step - ladder.begin()), 1.0 / double(video.expectedSourceFrameRate));
        description = "libx264 (" + settings.preset + ")";
    }

    void openAAC() {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec) throw RecorderError::encoderUnavailable("audio input rejected");
        CodecContextPtr ctx(avcodec_alloc_context3(codec));
        ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
        ctx->sample_rate = kAudioSampleRate;
        av_channel_layout_default(&ctx->ch_layout, std::clamp<int>(int(audio->channels), 1, 2));
        ctx->bit_rate = kAudioBitRate;
        ctx->profile = FF_PROFILE_AAC_LOW;
        ctx->time_base = AVRational{1, kAudioSampleRate};
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(ctx.get(), codec, nullptr) < 0) throw RecorderError::encoderUnavailable("audio input rejected");
        audioCodec = std::move(ctx);
    }

    void openMuxer() {
        check(avformat_alloc_output_context2(&muxer, nullptr, "mp4", nullptr), "mp4 muxer");
        constexpr int kIOBufferSize = 1 << 16;
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIOBufferSize));
        io = avio_alloc_context(buffer, kIOBufferSize, 1, this, nullptr, &Pipeline::writeCallback, nullptr);
        if (!io) throw EncoderError("cannot allocate the muxer's output");
        io->seekable = 0;
        muxer->pb = io;
        muxer->flags |= AVFMT_FLAG_CUSTOM_IO;

        // Video first: the uploader reads the first track's timescale and decode times.
        videoStream = avformat_new_stream(muxer, nullptr);
        if (videoCodec) {
            check(avcodec_parameters_from_context(videoStream->codecpar, videoCodec.get()), "video parameters");
        } else {
            AVCodecParameters* par = videoStream->codecpar;
            par->codec_type = AVMEDIA_TYPE_VIDEO;
            par->codec_id = AV_CODEC_ID_H264;
            par->format = AV_PIX_FMT_NV12;
            par->width = int(video.width);
            par->height = int(video.height);
            par->bit_rate = video.averageBitRate;
            par->profile = FF_PROFILE_H264_HIGH;
            par->color_primaries = AVCOL_PRI_BT709;
            par->color_trc = AVCOL_TRC_BT709;
            par->color_space = AVCOL_SPC_BT709;
            par->color_range = AVCOL_RANGE_MPEG;
            // Annex B parameter sets; the muxer turns them into the sample entry's avcC.
            const std::vector<uint8_t> sets = x264->parameterSets();
            par->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!par->extradata) throw EncoderError("out of memory");
            std::memcpy(par->extradata, sets.data(), sets.size());
            par->extradata_size = int(sets.size());
        }
        videoStream->time_base = AVRational{1, kVideoTimescale};
        if (audioCodec) {
            audioStream = avformat_new_stream(muxer, nullptr);
            check(avcodec_parameters_from_context(audioStream->codecpar, audioCodec.get()), "audio parameters");
            audioStream->time_base = AVRational{1, kAudioSampleRate};
        }
    }

    void emit(StreamSegment::Kind kind) {
        avio_flush(io);
        if (output.empty()) return;
        StreamSegment segment{kind, std::move(output)};
        output = {};
        onSegment(std::move(segment));
    }

    void writeHeader() {
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "movflags", "frag_custom+empty_moov+default_base_moof+skip_trailer", 0);
        av_dict_set(&opts, "video_track_timescale", std::to_string(kVideoTimescale).c_str(), 0);
        const int result = avformat_write_header(muxer, &opts);
        av_dict_free(&opts);
        check(result, "writing the header");
        emit(StreamSegment::Kind::initialization);
    }

    // --- video ---

    // The picture at the stream's size: a frame of another size is scaled rather than lost.
    const VideoFrame* fitted(const VideoFrame& picture) {
        if (picture.width == video.width && picture.height == video.height) return &picture;
        if (scaled.width != video.width || scaled.height != video.height)
            scaled = VideoFrame::make(int(video.width), int(video.height));
        scaler.reset(sws_getCachedContext(scaler.release(), picture.width, picture.height, AV_PIX_FMT_NV12,
                                          scaled.width, scaled.height, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr,
                                          nullptr, nullptr));
        if (!scaler) throw EncoderError("cannot scale a frame");
        const uint8_t* src[2] = {picture.lumaPlane().data(), picture.chromaPlane().data()};
        const int srcStride[2] = {picture.strideY, picture.strideUV};
        uint8_t* dst[2] = {scaled.lumaPlane().data(), scaled.chromaPlane().data()};
        const int dstStride[2] = {scaled.strideY, scaled.strideUV};
        sws_scale(scaler.get(), src, srcStride, 0, picture.height, dst, dstStride);
        return &scaled;
    }

    void encodeVideo(const SampleBuffer& sample) {
        const MediaTime time = sample.presentationTime();
        if (!time.isValid()) return;
        int64_t pts = time.convertedTo(kVideoTimescale).value();
        if (lastVideoPts == INT64_MIN && pts > 0) {
            // Every track starts at the take's zero, or the muxer would move this frame
            // there and the whole track with it: the first picture also stands for the
            // moment before it.
            std::vector<SampleTiming> atZero = sample.timing();
            atZero.front().presentation = MediaTime(0, kVideoTimescale);
            atZero.front().decode = MediaTime::invalid();
            encodeVideo(sample.withTiming(std::move(atZero)));
        }
        if (pts <= lastVideoPts) pts = lastVideoPts + 1;  // rounding must not reorder frames
        lastVideoPts = pts;

        const VideoFrame* picture = sample.videoFrame();
        if (!picture) return;
        picture = fitted(*picture);
        // The same payload again is a still screen re-sent by the pacer.
        const std::shared_ptr<const SampleBuffer::Payload>& payload = sample.payload();
        const bool repeat = !lastPicture.expired() && !lastPicture.owner_before(payload) &&
                            !payload.owner_before(lastPicture);
        lastPicture = payload;
        const int64_t boundaryTicks = int64_t(std::llround(video.maxKeyFrameIntervalDuration * kVideoTimescale));
        const bool key = pts >= nextKeyBoundary || framesSinceKey >= video.maxKeyFrameInterval;
        if (key) {
            // Two seconds from this key frame, not from a fixed grid: a key frame the
            // frame count forced early (frames bunch up around a pause) must not be
            // followed by another one a frame later at the grid mark.
            nextKeyBoundary = pts + boundaryTicks;
            framesSinceKey = 0;
        }
        ++framesSinceKey;

        if (x264) {
            if (auto packet = x264->encode(picture, pts, key, repeat)) takeVideo(toPacket(*packet));
            return;
        }
        // VAAPI copies the picture to a surface at once, so the frame only borrows it.
        FramePtr frame(av_frame_alloc());
        frame->format = AV_PIX_FMT_NV12;
        frame->width = picture->width;
        frame->height = picture->height;
        frame->data[0] = const_cast<uint8_t*>(picture->lumaPlane().data());
        frame->data[1] = const_cast<uint8_t*>(picture->chromaPlane().data());
        frame->linesize[0] = picture->strideY;
        frame->linesize[1] = picture->strideUV;
        FramePtr hwFrame(av_frame_alloc());
        check(av_hwframe_get_buffer(videoCodec->hw_frames_ctx, hwFrame.get(), 0), "VAAPI surface");
        check(av_hwframe_transfer_data(hwFrame.get(), frame.get(), 0), "VAAPI upload");
        hwFrame->pts = pts;
        hwFrame->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        check(avcodec_send_frame(videoCodec.get(), hwFrame.get()), "encoding video");
        receiveVideo();
    }

    static PacketPtr toPacket(const X264Stream::Packet& encoded) {
        PacketPtr packet = makePacket();
        check(av_new_packet(packet.get(), int(encoded.data.size())), "video packet");
        std::memcpy(packet->data, encoded.data.data(), encoded.data.size());
        packet->pts = encoded.pts;
        packet->dts = encoded.dts;
        if (encoded.key) packet->flags |= AV_PKT_FLAG_KEY;
        return packet;
    }

    // Each packet waits for the next one to learn its duration.
    void takeVideo(PacketPtr packet) {
        if (heldVideo) {
            heldVideo->duration = std::max<int64_t>(1, packet->dts - heldVideo->dts);
            writeVideo(std::move(heldVideo));
        }
        heldVideo = std::move(packet);
    }

    // After each video frame: a software encoder that falls behind steps its preset.
    void paced(size_t waiting, double encodeSeconds) {
        if (!stepper) return;
        const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        const auto next = stepper->observe(now, waiting, encodeSeconds);
        if (!next) return;
        const std::string from = x264->preset();
        if (x264->changePreset(*next))
            std::fprintf(stderr, "brindlow: the encoder %s; x264 preset %s -> %s\n",
                         waiting > 0 ? "fell behind" : "keeps up again", from.c_str(), next->c_str());
    }

    void receiveVideo() {
        for (;;) {
            PacketPtr packet = makePacket();
            const int r = avcodec_receive_packet(videoCodec.get(), packet.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            check(r, "encoding video");
            takeVideo(std::move(packet));
        }
    }

    void writeVideo(PacketPtr packet) {
        const bool key = packet->flags & AV_PKT_FLAG_KEY;
        if (key && fragmentHasVideo) {
            // The audio up to the key frame belongs to the fragment that ends here.
            writeAudioBefore(packet->pts, AVRational{1, kVideoTimescale});
            check(av_write_frame(muxer, nullptr), "cutting a fragment");
            emit(StreamSegment::Kind::media);
            fragmentHasVideo = false;
        }
        packet->stream_index = videoStream->index;
        av_packet_rescale_ts(packet.get(), AVRational{1, kVideoTimescale}, videoStream->time_base);
        check(av_write_frame(muxer, packet.get()), "writing video");
        fragmentHasVideo = true;
    }

    // --- audio ---

    // Float samples at 48 kHz in the encoder's channel count, whatever came in.
    std::vector<float> normalise(const AudioSamples& in) {
        const int outChannels = audioCodec->ch_layout.nb_channels;
        if (in.sampleRate == kAudioSampleRate && in.channels == outChannels) return in.samples;
        if (in.sampleRate <= 0 || in.channels <= 0) return {};
        if (!resampler || resamplerRate != in.sampleRate || resamplerChannels != in.channels) {
            AVChannelLayout inLayout, outLayout;
            av_channel_layout_default(&inLayout, in.channels);
            av_channel_layout_default(&outLayout, outChannels);
            SwrContext* swr = nullptr;
            check(swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_FLT, kAudioSampleRate, &inLayout,
                                      AV_SAMPLE_FMT_FLT, in.sampleRate, 0, nullptr),
                  "audio converter");
            resampler.reset(swr);
            check(swr_init(swr), "audio converter");
            resamplerRate = in.sampleRate;
            resamplerChannels = in.channels;
        }
        const int inFrames = int(in.frameCount());
        const int capacity = int(swr_get_out_samples(resampler.get(), inFrames));
        std::vector<float> out(size_t(std::max(capacity, 0)) * size_t(outChannels));
        auto* outPtr = reinterpret_cast<uint8_t*>(out.data());
        const auto* inPtr = reinterpret_cast<const uint8_t*>(in.samples.data());
        const int produced = swr_convert(resampler.get(), &outPtr, capacity, &inPtr, inFrames);
        check(produced, "converting audio");
        out.resize(size_t(produced) * size_t(outChannels));
        return out;
    }

    void appendAudio(const SampleBuffer& sample) {
        const AudioSamples* pcm = sample.audioSamples();
        const MediaTime time = sample.presentationTime();
        if (!pcm || !time.isValid()) return;
        std::lock_guard lock(audioLock);
        if (audioClosed) return;
        std::vector<float> samples = normalise(*pcm);
        const size_t channels = size_t(audioCodec->ch_layout.nb_channels);
        const int64_t at = time.convertedTo(kAudioSampleRate).value();
        // The encoder's output lags its input by its priming, and a fragment cannot say
        // to skip it: so its first packet is written at 0 and input starts that much
        // later on the timeline. The priming plays as the take's first few milliseconds
        // of silence and every later sample plays at its own time.
        if (!audioFifoStart) audioFifoStart = primingSamples();
        // Until the first sample is in, every buffer is placed exactly.
        const bool first = !audioStarted;
        const int64_t expected = *audioFifoStart + int64_t(audioFifo.size() / channels);
        // Within 20 ms the buffers are taken as continuous; beyond it the gap is filled
        // with silence or the overlap trimmed, so audio stays on the video's timeline.
        // The first buffer is placed exactly.
        const int64_t slack = first ? 0 : kAudioSampleRate / 50;
        if (at - expected > slack) {
            audioFifo.insert(audioFifo.end(), size_t(at - expected) * channels, 0.0f);
            fadeIn = 0;
        } else if (expected - at > slack) {
            const size_t trim = std::min(samples.size(), size_t(expected - at) * channels);
            samples.erase(samples.begin(), samples.begin() + ptrdiff_t(trim));
        }
        if (first) fadeIn = 0;
        // Sound that starts out of silence rises over a few milliseconds: a step from
        // nothing is a click, which AAC rings on, well past full scale.
        for (size_t i = 0; i < samples.size() && fadeIn < kFadeInFrames; ++i) {
            samples[i] *= float(fadeIn) / kFadeInFrames;
            if ((i + 1) % channels == 0) ++fadeIn;
        }
        audioFifo.insert(audioFifo.end(), samples.begin(), samples.end());
        audioStarted = audioStarted || !samples.empty();
        encodeAudioFrames(false);
    }

    int64_t primingSamples() const {
        return audioCodec->initial_padding > 0 ? audioCodec->initial_padding : 1024;
    }

    void encodeAudioFrames(bool flush) {
        const int frameSize = audioCodec->frame_size > 0 ? audioCodec->frame_size : 1024;
        const size_t channels = size_t(audioCodec->ch_layout.nb_channels);
        size_t offset = 0;
        while (audioFifo.size() - offset >= size_t(frameSize) * channels ||
               (flush && audioFifo.size() > offset)) {
            const size_t available = (audioFifo.size() - offset) / channels;
            const int count = int(std::min<size_t>(available, size_t(frameSize)));
            FramePtr frame(av_frame_alloc());
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->sample_rate = kAudioSampleRate;
            frame->nb_samples = count;
            check(av_channel_layout_copy(&frame->ch_layout, &audioCodec->ch_layout), "audio layout");
            check(av_frame_get_buffer(frame.get(), 0), "audio frame");
            for (size_t c = 0; c < channels; ++c) {
                auto* plane = reinterpret_cast<float*>(frame->data[c]);
                for (int i = 0; i < count; ++i) plane[i] = audioFifo[offset + size_t(i) * channels + c];
            }
            frame->pts = *audioFifoStart + int64_t(offset / channels);
            offset += size_t(count) * channels;
            check(avcodec_send_frame(audioCodec.get(), frame.get()), "encoding audio");
            receiveAudio();
        }
        audioFifo.erase(audioFifo.begin(), audioFifo.begin() + ptrdiff_t(offset));
        *audioFifoStart += int64_t(offset / channels);
    }

    void receiveAudio() {
        for (;;) {
            PacketPtr packet = makePacket();
            const int r = avcodec_receive_packet(audioCodec.get(), packet.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            check(r, "encoding audio");
            audioPackets.push_back(std::move(packet));
        }
    }

    // Writes the queued audio packets that start before `time`.
    void writeAudioBefore(int64_t time, AVRational base) {
        if (!audioStream) return;
        std::deque<PacketPtr> due;
        {
            std::lock_guard lock(audioLock);
            while (!audioPackets.empty() &&
                   av_compare_ts(audioPackets.front()->pts, AVRational{1, kAudioSampleRate}, time, base) < 0) {
                due.push_back(std::move(audioPackets.front()));
                audioPackets.pop_front();
            }
        }
        for (auto& packet : due) writeAudioPacket(std::move(packet));
    }

    // Where the last picture begins, in audio samples of the timeline: the take's stop lies
    // within that picture, so sound up to here was certainly recorded time.
    int64_t lastPictureSamples() const {
        if (lastVideoPts == INT64_MIN) return 0;
        return av_rescale(lastVideoPts, kAudioSampleRate, kVideoTimescale);
    }

    // Encodes what is left, with silence up to the last picture: a source that went quiet
    // before the stop (unplugged, stalled) leaves silence, not a short track.
    void closeAudio() {
        std::lock_guard lock(audioLock);
        if (audioClosed) return;
        audioClosed = true;
        const size_t channels = size_t(audioCodec->ch_layout.nb_channels);
        if (!audioFifoStart) audioFifoStart = primingSamples();
        const int64_t end = *audioFifoStart + int64_t(audioFifo.size() / channels);
        const int64_t lastPicture = lastPictureSamples();
        if (end < lastPicture) audioFifo.insert(audioFifo.end(), size_t(lastPicture - end) * channels, 0.0f);
        encodeAudioFrames(true);
        check(avcodec_send_frame(audioCodec.get(), nullptr), "flushing audio");
        receiveAudio();
    }

    void writeAudioPacket(PacketPtr packet) {
        packet->stream_index = audioStream->index;
        av_packet_rescale_ts(packet.get(), AVRational{1, kAudioSampleRate}, audioStream->time_base);
        check(av_write_frame(muxer, packet.get()), "writing audio");
    }

    void finish() {
        if (x264) {
            // With threads, a call may hand out nothing while pictures are still in flight.
            while (x264->hasDelayedFrames())
                if (auto packet = x264->encode(nullptr, 0, false)) takeVideo(toPacket(*packet));
        } else {
            check(avcodec_send_frame(videoCodec.get(), nullptr), "flushing video");
            receiveVideo();
        }
        if (audioCodec) closeAudio();
        if (heldVideo) {
            heldVideo->duration = frameTicks;
            writeVideo(std::move(heldVideo));
        }
        std::deque<PacketPtr> rest;
        {
            std::lock_guard lock(audioLock);
            rest.swap(audioPackets);
        }
        for (auto& packet : rest) writeAudioPacket(std::move(packet));
        if (fragmentHasVideo) {
            check(av_write_frame(muxer, nullptr), "cutting the last fragment");
        }
        check(av_write_trailer(muxer), "closing the stream");
        emit(StreamSegment::Kind::media);
    }
};

SegmentEncoderFactory FFmpegSegmentEncoder::factory(Options options) {
    return [options](const VideoOutputSettings& video, const std::optional<AudioSettings>& audio, OnSegment onSegment) {
        return std::make_unique<FFmpegSegmentEncoder>(video, audio, std::move(onSegment), options);
    };
}

FFmpegSegmentEncoder::FFmpegSegmentEncoder(const VideoOutputSettings& video, const std::optional<AudioSettings>& audio,
                                           OnSegment onSegment, Options options)
    : pipeline_(std::make_unique<Pipeline>()), options_(std::move(options)) {
    av_log_set_level(AV_LOG_ERROR);
    Pipeline& p = *pipeline_;
    p.video = video;
    p.audio = audio;
    p.onSegment = std::move(onSegment);
    if (video.width < 2 || video.height < 2 || video.expectedSourceFrameRate < 1 ||
        video.expectedSourceFrameRate > 1000) {
        throw RecorderError::encoderUnavailable("video input rejected");
    }
    p.frameTicks = std::max<int64_t>(1, kVideoTimescale / video.expectedSourceFrameRate);
    if (!(options_.allowHardware && p.openVAAPI())) p.openX264(options_.x264Preset);
    if (audio) {
        if (!(audio->channels >= 1 && audio->channels <= 2) || audio->sampleRate <= 0)
            throw RecorderError::encoderUnavailable("audio input rejected");
        p.openAAC();
    }
    try {
        p.openMuxer();
    } catch (const EncoderError&) {
        throw RecorderError::encoderUnavailable("video input rejected");
    }
    if (options_.logEncoderChoice) {
        std::fprintf(stderr, "brindlow: encoding %lldx%lld at %lld fps with %s\n", (long long)video.width,
                     (long long)video.height, (long long)video.expectedSourceFrameRate, p.description.c_str());
    }
}

FFmpegSegmentEncoder::~FFmpegSegmentEncoder() {
    {
        std::lock_guard lock(mutex_);
        if (status_ == Status::writing) cancelled_ = true;
        finishRequested_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

const std::string& FFmpegSegmentEncoder::encoderDescription() const { return pipeline_->description; }

void FFmpegSegmentEncoder::startWriting() {
    std::lock_guard lock(mutex_);
    if (status_ != Status::unknown) return;
    status_ = Status::writing;
    thread_ = std::thread([this] {
        ensureSignalStack();
        run();
    });
}

bool FFmpegSegmentEncoder::isReadyForVideo() const {
    std::lock_guard lock(mutex_);
    return status_ == Status::writing && !finishRequested_ && queue_.size() < options_.videoQueueCapacity;
}

bool FFmpegSegmentEncoder::isReadyForAudio() const {
    std::lock_guard lock(mutex_);
    return status_ == Status::writing && !finishRequested_ && pipeline_->audio;
}

bool FFmpegSegmentEncoder::appendVideo(const SampleBuffer& frame) {
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing || finishRequested_ || queue_.size() >= options_.videoQueueCapacity ||
            !frame.videoFrame())
            return false;
        queue_.push_back(frame);
    }
    wake_.notify_one();
    return true;
}

bool FFmpegSegmentEncoder::appendAudio(const SampleBuffer& buffer) {
    if (!isReadyForAudio() || !buffer.audioSamples()) return false;
    try {
        pipeline_->appendAudio(buffer);
    } catch (...) {
        fail(std::current_exception());
        return false;
    }
    return true;
}

// Inputs end together when the session finishes; nothing to do per input.
void FFmpegSegmentEncoder::markVideoFinished() {}
void FFmpegSegmentEncoder::markAudioFinished() {}

void FFmpegSegmentEncoder::finishWriting() {
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing) return;
        finishRequested_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void FFmpegSegmentEncoder::cancelWriting() {
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing) return;
        cancelled_ = true;
        finishRequested_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

SegmentEncoder::Status FFmpegSegmentEncoder::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::exception_ptr FFmpegSegmentEncoder::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void FFmpegSegmentEncoder::fail(std::exception_ptr error) {
    {
        std::lock_guard lock(mutex_);
        if (status_ != Status::writing) return;
        status_ = Status::failed;
        error_ = error;
        queue_.clear();
    }
    wake_.notify_all();
}

void FFmpegSegmentEncoder::run() {
    Pipeline& p = *pipeline_;
    try {
        p.writeHeader();
    } catch (...) {
        fail(std::current_exception());
        return;
    }
    for (;;) {
        std::optional<SampleBuffer> frame;
        size_t videoWaiting = 0;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return !queue_.empty() || finishRequested_ || status_ != Status::writing; });
            if (cancelled_) {
                status_ = Status::cancelled;
                return;
            }
            if (status_ != Status::writing) return;  // the sound failed
            if (!queue_.empty()) {
                frame = std::move(queue_.front());
                queue_.pop_front();
                videoWaiting = queue_.size();
            }
        }
        try {
            if (!frame) {
                p.finish();
                std::lock_guard lock(mutex_);
                status_ = cancelled_ ? Status::cancelled : Status::completed;
                return;
            }
            const auto started = std::chrono::steady_clock::now();
            p.encodeVideo(*frame);
            p.paced(videoWaiting, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        } catch (...) {
            fail(std::current_exception());
            return;
        }
    }
}

}  // namespace brindlow
