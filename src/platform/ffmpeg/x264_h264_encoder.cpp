#include "platform/ffmpeg/x264_h264_encoder.h"

#include "capture/h264_bitstream.h"
#include "capture/picture_activity.h"
#include "capture/quantizer_control.h"
#include "platform/ffmpeg/encoder_queue.h"

extern "C" {
#include <x264.h>
}

#include <libyuv/planar_functions.h>

#include <cerrno>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace kestrio::platform::ffmpeg {

namespace {

struct EncoderDeleter {
    void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
};

}  // namespace

struct X264H264Encoder::State {
    struct Item {
        capture::VideoFrame frame;
        bool keyFrame = false;
    };

    capture::H264EncoderSettings settings;
    OutputHandler output;
    std::unique_ptr<x264_t, EncoderDeleter> encoder;
    int keyFrameInterval = 0;

    // Worker thread only.
    capture::QuantizerControl rate;
    capture::PictureActivity activity;
    std::int64_t nextPts = 0;
    std::int64_t framesSinceKey = 0;

    EncoderQueue<Item> queue;  // last: its thread stops before the rest goes

    State(const capture::H264EncoderSettings& settings, OutputHandler output, int bufferFrames, int keyInterval)
        : settings(settings),
          output(std::move(output)),
          keyFrameInterval(keyInterval),
          rate(settings.averageBitRate, settings.framesPerSecond, bufferFrames, settings.width * settings.height)
    {
    }

    void encodeFrame(const capture::VideoFrame& frame, bool keyFrame);
};

void X264H264Encoder::State::encodeFrame(const capture::VideoFrame& frame, bool keyFrame)
{
    // Until a key frame has come out, every frame is one: the others would refer to nothing.
    keyFrame = keyFrame || framesSinceKey == 0 || framesSinceKey >= keyFrameInterval;
    const auto measured = activity.measure(frame.planes[0], frame.strides[0], frame.width, frame.height, keyFrame);
    const double pictureActivity = keyFrame ? measured.detail : measured.change;
    const int quantizer = rate.quantizer(keyFrame, pictureActivity);

    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    for (int plane = 0; plane < 2; ++plane) {
        picture.img.plane[plane] = const_cast<std::uint8_t*>(frame.planes[plane]);
        picture.img.i_stride[plane] = frame.strides[plane];
    }
    picture.i_pts = nextPts++;
    picture.i_type = keyFrame ? X264_TYPE_IDR : X264_TYPE_P;
    picture.i_qpplus1 = quantizer + 1;

    x264_nal_t* units = nullptr;
    int unitCount = 0;
    x264_picture_t encoded;
    const int size = x264_encoder_encode(encoder.get(), &units, &unitCount, &picture, &encoded);
    if (size <= 0 || unitCount <= 0) {
        output(std::nullopt);
        return;
    }
    framesSinceKey = encoded.b_keyframe ? 1 : framesSinceKey + 1;
    rate.encoded(keyFrame, pictureActivity, quantizer, static_cast<std::size_t>(size));
    // The units of one frame lie back to back in the encoder's buffer.
    output(capture::accessUnitFromAnnexB(std::span(units[0].p_payload, static_cast<std::size_t>(size)),
                                         encoded.b_keyframe != 0));
}

X264H264Encoder::X264H264Encoder(const capture::H264EncoderSettings& settings, OutputHandler output,
                                 int rateBufferFrames, int keyFrameIntervalSeconds)
{
    if (settings.inputFormat != capture::PixelFormat::nv12)
        throw capture::H264EncoderError("x264 takes NV12 input only", -ENOSYS);
    if (settings.width < 2 || settings.height < 2 || settings.width % 2 != 0 || settings.height % 2 != 0 ||
        settings.framesPerSecond <= 0 || settings.averageBitRate <= 0)
        throw capture::H264EncoderError("unsupported picture size or rate", -EINVAL);

    x264_param_t param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0)
        throw capture::H264EncoderError("x264 presets unavailable", -EINVAL);
    param.i_log_level = X264_LOG_NONE;
    param.i_width = settings.width;
    param.i_height = settings.height;
    param.i_csp = X264_CSP_NV12;
    param.i_fps_num = static_cast<std::uint32_t>(settings.framesPerSecond);
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = static_cast<std::uint32_t>(settings.framesPerSecond);
    param.b_vfr_input = 0;
    // One thread: the capture and its conversion need the other core.
    param.i_threads = 1;
    param.i_bframe = 0;
    param.rc.i_lookahead = 0;
    // Key frames are placed by this encoder, so that each one gets a key frame's quantizer.
    param.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    param.i_scenecut_threshold = 0;
    // A constant quantizer, given per frame. libx264 holds every frame's quantizer between those
    // it would give key and bidirectional frames; with the smallest factors it allows (a step
    // size a hundred times finer or coarser) those lie 40 steps either side of the middle.
    param.rc.i_rc_method = X264_RC_CQP;
    param.rc.i_qp_constant = 44;
    param.rc.f_ip_factor = 0.01f;
    param.rc.f_pb_factor = 0.01f;
    // Parameter sets travel in-band with every key frame, where the packet picks them up.
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.vui.b_fullrange = 0;
    if (x264_param_apply_profile(&param, "high") < 0)
        throw capture::H264EncoderError("x264 profile unavailable", -EINVAL);

    state_ = std::make_unique<State>(settings, std::move(output), rateBufferFrames,
                                     keyFrameIntervalSeconds * settings.framesPerSecond);
    state_->encoder.reset(x264_encoder_open(&param));
    if (!state_->encoder)
        throw capture::H264EncoderError("x264 did not open", -EINVAL);
    State* state = state_.get();
    state->queue.start({
        .applyBitRate = [state](int bitsPerSecond) { state->rate.setBitRate(bitsPerSecond); },
        .encode = [state](State::Item& item) { state->encodeFrame(item.frame, item.keyFrame); },
        .drain = [] {},  // nothing is held back: each frame is out before the next goes in
        .abandon =
            [state](std::vector<State::Item>& left) {
                for (std::size_t i = 0; i < left.size(); ++i)
                    state->output(std::nullopt);
            },
    });
}

X264H264Encoder::~X264H264Encoder()
{
    state_->queue.stop();
}

bool X264H264Encoder::encode(const capture::VideoFrame& frame, bool forceKeyFrame)
{
    const auto& settings = state_->settings;
    if (frame.format != capture::PixelFormat::nv12 || frame.width != settings.width || frame.height != settings.height)
        return false;
    for (int plane = 0; plane < 2; ++plane) {
        if (!frame.planes[plane] || frame.strides[plane] < frame.width)
            return false;
    }
    capture::VideoFrame kept = frame;
    if (!kept.storage) {
        // Without an owner the planes are only good for this call: copy them.
        const std::size_t lumaBytes = static_cast<std::size_t>(frame.width) * frame.height;
        auto copy = std::make_shared<std::vector<std::uint8_t>>(lumaBytes + lumaBytes / 2);
        libyuv::NV12Copy(frame.planes[0], frame.strides[0], frame.planes[1], frame.strides[1], copy->data(), frame.width,
                         copy->data() + lumaBytes, frame.width, frame.width, frame.height);
        kept.planes = {copy->data(), copy->data() + lumaBytes};
        kept.strides = {frame.width, frame.width};
        kept.storage = std::move(copy);
    }
    return state_->queue.push({std::move(kept), forceKeyFrame});
}

void X264H264Encoder::flush()
{
    state_->queue.flush();
}

void X264H264Encoder::setAverageBitRate(int bitsPerSecond)
{
    state_->queue.requestBitRate(bitsPerSecond);
}

}  // namespace kestrio::platform::ffmpeg
