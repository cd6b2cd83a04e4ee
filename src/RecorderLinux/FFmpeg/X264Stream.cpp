#include "FFmpeg/X264Stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <x264.h>
}

#include "SegmentWriter.h"

namespace brindlow {

namespace {
// Repeats that may still refine the picture, and the quantiser for the rest: coarse
// enough that the small differences left are quantised away and nothing is coded.
constexpr int refiningRepeats = 3;
constexpr int skippingQuantiser = 40;
}  // namespace

struct X264Stream::Modes {
    x264_param_t full;
    x264_param_t repeat;
};

const X264Stream::Modes* X264Stream::modesFor(const std::string& preset) {
    if (const auto known = modes_.find(preset); known != modes_.end()) return known->second.get();
    auto modes = std::make_unique<Modes>();
    if (!fill(modes->full, preset)) return nullptr;
    modes->repeat = modes->full;
    modes->repeat.analyse.i_me_method = X264_ME_DIA;
    // Not 0: libx264 cannot switch back out of subme 0, so one still moment would leave
    // the rest of the take on whole-pixel motion.
    modes->repeat.analyse.i_subpel_refine = 1;
    modes->repeat.analyse.inter = 0;
    modes->repeat.analyse.i_trellis = 0;
    return (modes_[preset] = std::move(modes)).get();
}

bool X264Stream::fill(x264_param_t& p, const std::string& preset) const {
    if (x264_param_default_preset(&p, preset.c_str(), nullptr) < 0) return false;
    p.i_log_level = X264_LOG_ERROR;
    p.i_threads = settings_.threads;
    p.i_width = settings_.width;
    p.i_height = settings_.height;
    p.i_csp = X264_CSP_NV12;
    p.i_fps_num = uint32_t(settings_.fps);
    p.i_fps_den = 1;
    p.i_timebase_num = 1;
    p.i_timebase_den = uint32_t(settings_.timescale);
    p.b_vfr_input = 1;
    p.i_keyint_max = settings_.maxKeyInterval;
    p.i_scenecut_threshold = 0;  // key frames only where they are asked for
    p.i_bframe = 0;
    p.analyse.b_transform_8x8 = 1;  // keeps even ultrafast at High profile
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = int(std::max<int64_t>(1, settings_.bitRate / 1000));
    p.b_repeat_headers = 0;
    p.b_annexb = 1;
    p.vui.i_colorprim = 1;  // BT.709
    p.vui.i_transfer = 1;
    p.vui.i_colmatrix = 1;
    p.vui.b_fullrange = 0;
    return x264_param_apply_profile(&p, "high") == 0;
}

X264Stream::X264Stream(Settings settings) : settings_(std::move(settings)) {
    current_ = modesFor(settings_.preset);
    if (!current_) throw EncoderError("libx264 refused preset " + settings_.preset);
    encoder_ = x264_encoder_open(const_cast<x264_param_t*>(&current_->full));
    if (!encoder_) throw EncoderError("libx264 refused the video settings");
    carried_ = &current_->full;
}

X264Stream::~X264Stream() {
    if (encoder_) x264_encoder_close(encoder_);
}

std::vector<uint8_t> X264Stream::parameterSets() const {
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_, &nals, &count) < 0) throw EncoderError("libx264 gave no parameter sets");
    std::vector<uint8_t> sets;
    // libx264's own banner (an SEI) is left out: the stream needs only SPS and PPS.
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type != NAL_SPS && nals[i].i_type != NAL_PPS) continue;
        sets.insert(sets.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
    }
    return sets;
}

std::optional<X264Stream::Packet> X264Stream::encode(const VideoFrame* picture, int64_t pts, bool key,
                                                    bool repeat) {
    x264_picture_t in, out;
    x264_picture_init(&in);
    x264_picture_init(&out);
    if (picture) {
        in.img.i_csp = X264_CSP_NV12;
        in.img.i_plane = 2;
        // libx264 copies the picture before it returns; it never writes to it.
        in.img.plane[0] = const_cast<uint8_t*>(picture->lumaPlane().data());
        in.img.plane[1] = const_cast<uint8_t*>(picture->chromaPlane().data());
        in.img.i_stride[0] = picture->strideY;
        in.img.i_stride[1] = picture->strideUV;
        in.i_pts = pts;
        in.i_type = key ? X264_TYPE_IDR : X264_TYPE_AUTO;
        repeats_ = repeat && !key ? repeats_ + 1 : 0;
        if (repeats_ > refiningRepeats) in.i_qpplus1 = skippingQuantiser + 1;
        const x264_param_t* wanted = repeats_ > 0 ? &current_->repeat : &current_->full;
        if (wanted != carried_) {
            in.param = const_cast<x264_param_t*>(wanted);  // read, never written or freed: no param_free
            carried_ = wanted;
        }
    }
    x264_nal_t* nals = nullptr;
    int count = 0;
    const int bytes = x264_encoder_encode(encoder_, &nals, &count, picture ? &in : nullptr, &out);
    if (bytes < 0) throw EncoderError("libx264 failed to encode a picture");
    if (bytes == 0) return std::nullopt;
    Packet packet;
    packet.data.assign(nals[0].p_payload, nals[0].p_payload + bytes);  // the NALs are contiguous
    packet.pts = out.i_pts;
    packet.dts = out.i_dts;
    packet.key = out.b_keyframe != 0;
    return packet;
}

bool X264Stream::hasDelayedFrames() const { return x264_encoder_delayed_frames(encoder_) > 0; }

bool X264Stream::changePreset(const std::string& preset) {
    const Modes* modes = modesFor(preset);
    if (!modes) return false;
    // Carried by the next picture, like the switch between full and repeat settings, so
    // the two never undo each other.
    current_ = modes;
    settings_.preset = preset;
    return true;
}

}  // namespace brindlow
