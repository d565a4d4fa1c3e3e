#include "platform/ffmpeg/ffmpeg_h264_encoder.h"

#include "capture/h264_bitstream.h"
#include "platform/ffmpeg/encoder_queue.h"
#include "platform/ffmpeg/x264_h264_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <variant>

namespace kestrio::platform::ffmpeg {

namespace {

constexpr const char* startFailureText = "H.264 하드웨어 인코더를 시작할 수 없습니다.";
constexpr const char* vaapiRenderNode = "/dev/dri/renderD128";

// A key frame comes at least every four seconds even when no viewer asks for one, so a viewer
// that lost a frame recovers on its own.
constexpr int keyFrameIntervalSeconds = 4;

// The rate-control buffer spans this many average frames. With the peak rate held to the
// average, a frame can grow to this size at most, so no frame takes longer than that many frame
// periods to cross a link running at the average rate: a key frame of a screen still gets
// several frames' worth of bits, while the latency a large frame adds stays bounded
// (about 130 ms at 60 fps).
constexpr int rateBufferFrames = 8;

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct BufferDeleter {
    void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferDeleter>;

std::string errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

AVPixelFormat avPixelFormat(capture::PixelFormat format)
{
    return format == capture::PixelFormat::nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA;
}

bool listsFormat(const AVPixelFormat* formats, AVPixelFormat wanted)
{
    for (; formats && *formats != AV_PIX_FMT_NONE; ++formats) {
        if (*formats == wanted)
            return true;
    }
    return false;
}

void setOption(AVCodecContext* context, const char* key, const char* value)
{
    // An option a build or version of the encoder does not know is left at its default.
    av_opt_set(context->priv_data, key, value, 0);
}

void setIntOption(AVCodecContext* context, const char* key, std::int64_t value)
{
    av_opt_set_int(context->priv_data, key, value, 0);
}

struct Opened {
    CodecContextPtr context;
    BufferPtr hardwareFrames;
};

struct Failure {
    int code;
    std::string reason;
};

// Sets up the VAAPI device and its NV12 surface pool; frames are uploaded before sending.
std::optional<Failure> prepareVaapi(AVCodecContext* context, const capture::H264EncoderSettings& settings,
                                    BufferPtr& hardwareFrames)
{
    if (settings.inputFormat != capture::PixelFormat::nv12)
        return Failure{AVERROR(ENOSYS), "VAAPI takes NV12 input only"};
    std::error_code ignored;
    if (!std::filesystem::exists(vaapiRenderNode, ignored))
        return Failure{AVERROR(ENODEV), std::string("no render node at ") + vaapiRenderNode};
    AVBufferRef* rawDevice = nullptr;
    int status = av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_VAAPI, vaapiRenderNode, nullptr, 0);
    BufferPtr device(rawDevice);
    if (status < 0)
        return Failure{status, "VAAPI device: " + errorText(status)};
    BufferPtr frames(av_hwframe_ctx_alloc(device.get()));
    if (!frames)
        return Failure{AVERROR(ENOMEM), "VAAPI frame pool: out of memory"};
    auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
    framesContext->format = AV_PIX_FMT_VAAPI;
    framesContext->sw_format = AV_PIX_FMT_NV12;
    framesContext->width = settings.width;
    framesContext->height = settings.height;
    framesContext->initial_pool_size = 8;
    status = av_hwframe_ctx_init(frames.get());
    if (status < 0)
        return Failure{status, "VAAPI frame pool: " + errorText(status)};
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->hw_frames_ctx = av_buffer_ref(frames.get());
    if (!context->hw_frames_ctx)
        return Failure{AVERROR(ENOMEM), "VAAPI frame pool: out of memory"};
    hardwareFrames = std::move(frames);
    return std::nullopt;
}

std::variant<Opened, Failure> openCandidate(const std::string& name, const capture::H264EncoderSettings& settings,
                                            const FfmpegH264EncoderOptions& options)
{
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec)
        return Failure{AVERROR_ENCODER_NOT_FOUND, "not in this libavcodec"};
    if (codec->id != AV_CODEC_ID_H264)
        return Failure{AVERROR(EINVAL), "not an H.264 encoder"};
    if (settings.width < 2 || settings.height < 2 || settings.width % 2 != 0 || settings.height % 2 != 0
        || settings.framesPerSecond <= 0 || settings.averageBitRate <= 0)
        return Failure{AVERROR(EINVAL), "invalid settings"};

    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        return Failure{AVERROR(ENOMEM), "out of memory"};

    BufferPtr hardwareFrames;
    if (listsFormat(codec->pix_fmts, AV_PIX_FMT_VAAPI)) {
        if (auto failure = prepareVaapi(context.get(), settings, hardwareFrames))
            return *failure;
        setIntOption(context.get(), "async_depth", 1);  // a packet for every frame before the next
    } else {
        const AVPixelFormat format = avPixelFormat(settings.inputFormat);
        if (codec->pix_fmts && !listsFormat(codec->pix_fmts, format))
            return Failure{AVERROR(ENOSYS), std::string("does not take ") + av_get_pix_fmt_name(format)};
        context->pix_fmt = format;
    }

    const int fps = settings.framesPerSecond;
    context->width = settings.width;
    context->height = settings.height;
    context->time_base = AVRational{1, fps};
    context->framerate = AVRational{fps, 1};
    context->bit_rate = settings.averageBitRate;
    context->rc_max_rate = settings.averageBitRate;
    context->rc_buffer_size = static_cast<int>(static_cast<std::int64_t>(settings.averageBitRate) * rateBufferFrames / fps);
    context->max_b_frames = 0;
    context->gop_size = keyFrameIntervalSeconds * fps;
    context->profile = FF_PROFILE_H264_HIGH;
    context->color_range = AVCOL_RANGE_MPEG;
    // Parameter sets travel in-band with every key frame, where the packet picks them up.
    context->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;

    if (name == "libx264") {
        setOption(context.get(), "preset", options.x264Preset.c_str());
        setOption(context.get(), "tune", "zerolatency");
        setOption(context.get(), "profile", "high");
        setIntOption(context.get(), "forced-idr", 1);
        setIntOption(context.get(), "rc-lookahead", 0);
        // Slices are encoded in parallel within one frame, so threads add no frames of delay.
        context->thread_count = options.x264Threads;
        context->thread_type = FF_THREAD_SLICE;
    } else if (name == "h264_nvenc") {
        setOption(context.get(), "preset", "p1");
        setOption(context.get(), "tune", "ull");
        setOption(context.get(), "profile", "high");
        setIntOption(context.get(), "zerolatency", 1);
        setIntOption(context.get(), "delay", 0);
        setIntOption(context.get(), "forced-idr", 1);
    }

    const int status = avcodec_open2(context.get(), codec, nullptr);
    if (status < 0)
        return Failure{status, errorText(status)};
    return Opened{std::move(context), std::move(hardwareFrames)};
}

// Lends the frame's planes to libavcodec: the buffers hold the frame's storage until the
// encoder lets go of them, so nothing is copied on submission.
FramePtr wrapFrame(const capture::VideoFrame& frame, AVPixelFormat format)
{
    FramePtr wrapped(av_frame_alloc());
    if (!wrapped)
        return nullptr;
    wrapped->format = format;
    wrapped->width = frame.width;
    wrapped->height = frame.height;
    const int planeCount = format == AV_PIX_FMT_NV12 ? 2 : 1;
    const int planeHeights[2] = {frame.height, frame.height / 2};

    if (!frame.storage) {
        // Without an owner the planes are only good for this call: copy them.
        if (av_frame_get_buffer(wrapped.get(), 0) < 0)
            return nullptr;
        const std::uint8_t* sources[4] = {frame.planes[0], frame.planes[1], nullptr, nullptr};
        const int strides[4] = {frame.strides[0], frame.strides[1], 0, 0};
        av_image_copy(wrapped->data, wrapped->linesize, sources, strides, format, frame.width, frame.height);
        return wrapped;
    }

    for (int plane = 0; plane < planeCount; ++plane) {
        auto* owner = new std::shared_ptr<const void>(frame.storage);
        auto* data = const_cast<std::uint8_t*>(frame.planes[plane]);
        const auto size = static_cast<std::size_t>(frame.strides[plane]) * static_cast<std::size_t>(planeHeights[plane]);
        wrapped->buf[plane] = av_buffer_create(
            data, size, [](void* opaque, std::uint8_t*) { delete static_cast<std::shared_ptr<const void>*>(opaque); },
            owner, AV_BUFFER_FLAG_READONLY);
        if (!wrapped->buf[plane]) {
            delete owner;
            return nullptr;
        }
        wrapped->data[plane] = data;
        wrapped->linesize[plane] = frame.strides[plane];
    }
    return wrapped;
}

}  // namespace

struct FfmpegH264Encoder::State {
    struct Awaited {
        std::int64_t pts;
        bool failed;  // never reached the encoder; ends with an empty output in its turn
    };

    std::string name;
    capture::H264EncoderSettings settings;
    AVPixelFormat inputFormat = AV_PIX_FMT_NONE;
    CodecContextPtr context;
    BufferPtr hardwareFrames;
    OutputHandler output;

    // Worker thread only.
    std::int64_t nextPts = 0;
    std::deque<Awaited> awaited;
    bool drained = false;
    PacketPtr packet{av_packet_alloc()};

    EncoderQueue<FramePtr> queue;  // last: its thread stops before the rest goes

    void applyBitRate(int bitsPerSecond);
    void encodeFrame(FramePtr frame);
    void receivePackets();
    void deliver(const AVPacket& packet);
    void finishLeadingFailures();
    void drain();
    void abandon(std::vector<FramePtr>& left);
};

void FfmpegH264Encoder::State::applyBitRate(int bitsPerSecond)
{
    // The codec reads these before each frame; the rate-control buffer keeps its span in frames.
    context->bit_rate = bitsPerSecond;
    context->rc_max_rate = bitsPerSecond;
    context->rc_buffer_size = static_cast<int>(static_cast<std::int64_t>(bitsPerSecond) * rateBufferFrames / settings.framesPerSecond);
}

void FfmpegH264Encoder::State::encodeFrame(FramePtr frame)
{
    const std::int64_t pts = nextPts++;
    frame->pts = pts;
    if (drained || !packet) {
        awaited.push_back({pts, true});
        finishLeadingFailures();
        return;
    }
    FramePtr upload;
    AVFrame* toSend = frame.get();
    int status = 0;
    if (hardwareFrames) {
        upload.reset(av_frame_alloc());
        status = upload ? av_hwframe_get_buffer(hardwareFrames.get(), upload.get(), 0) : AVERROR(ENOMEM);
        if (status >= 0)
            status = av_hwframe_transfer_data(upload.get(), frame.get(), 0);
        if (status >= 0)
            status = av_frame_copy_props(upload.get(), frame.get());
        toSend = upload.get();
    }
    if (status >= 0)
        status = avcodec_send_frame(context.get(), toSend);
    awaited.push_back({pts, status < 0});
    // The planes are not touched after sending: libavcodec holds its own reference if it needs one.
    frame.reset();
    upload.reset();
    receivePackets();
    finishLeadingFailures();
}

void FfmpegH264Encoder::State::receivePackets()
{
    for (;;) {
        const int status = avcodec_receive_packet(context.get(), packet.get());
        if (status < 0)
            return;  // needs more input, fully drained, or failed: the frames still awaited end later
        deliver(*packet);
        av_packet_unref(packet.get());
    }
}

void FfmpegH264Encoder::State::deliver(const AVPacket& encoded)
{
    // Outputs come in input order. A frame ahead of this packet's that has no packet of its own
    // was dropped by the encoder or never reached it, and gets its empty output first.
    const std::int64_t pts = encoded.pts == AV_NOPTS_VALUE && !awaited.empty() ? awaited.front().pts : encoded.pts;
    while (!awaited.empty() && awaited.front().pts != pts) {
        if (awaited.front().pts > pts)
            return;  // a packet for no frame still awaited
        awaited.pop_front();
        output(std::nullopt);
    }
    if (awaited.empty())
        return;
    awaited.pop_front();
    const bool key = (encoded.flags & AV_PKT_FLAG_KEY) != 0;
    output(capture::accessUnitFromAnnexB(std::span(encoded.data, static_cast<std::size_t>(encoded.size)), key));
}

void FfmpegH264Encoder::State::finishLeadingFailures()
{
    while (!awaited.empty() && awaited.front().failed) {
        awaited.pop_front();
        output(std::nullopt);
    }
}

void FfmpegH264Encoder::State::drain()
{
    if (!drained && packet) {
        if (avcodec_send_frame(context.get(), nullptr) >= 0)
            receivePackets();
        drained = true;
    }
    while (!awaited.empty()) {
        awaited.pop_front();
        output(std::nullopt);
    }
}

void FfmpegH264Encoder::State::abandon(std::vector<FramePtr>& left)
{
    for (std::size_t i = 0; i < left.size(); ++i)
        awaited.push_back({nextPts++, true});
    while (!awaited.empty()) {
        awaited.pop_front();
        output(std::nullopt);
    }
}

FfmpegH264Encoder::FfmpegH264Encoder(std::unique_ptr<State> state) : state_(std::move(state))
{
    State* running = state_.get();
    running->queue.start({
        .applyBitRate = [running](int bitsPerSecond) { running->applyBitRate(bitsPerSecond); },
        .encode = [running](FramePtr& frame) { running->encodeFrame(std::move(frame)); },
        .drain = [running] { running->drain(); },
        .abandon = [running](std::vector<FramePtr>& left) { running->abandon(left); },
    });
}

FfmpegH264Encoder::~FfmpegH264Encoder()
{
    state_->queue.stop();
}

bool FfmpegH264Encoder::encode(const capture::VideoFrame& frame, bool forceKeyFrame)
{
    const auto& settings = state_->settings;
    if (frame.format != settings.inputFormat || frame.width != settings.width || frame.height != settings.height)
        return false;
    const int planeCount = frame.format == capture::PixelFormat::nv12 ? 2 : 1;
    for (int plane = 0; plane < planeCount; ++plane) {
        if (!frame.planes[plane] || frame.strides[plane] <= 0)
            return false;
    }
    FramePtr wrapped = wrapFrame(frame, state_->inputFormat);
    if (!wrapped)
        return false;
    if (forceKeyFrame) {
        wrapped->pict_type = AV_PICTURE_TYPE_I;
        wrapped->key_frame = 1;
    }
    return state_->queue.push(std::move(wrapped));
}

void FfmpegH264Encoder::flush()
{
    state_->queue.flush();
}

void FfmpegH264Encoder::setAverageBitRate(int bitsPerSecond)
{
    state_->queue.requestBitRate(bitsPerSecond);
}

std::string FfmpegH264Encoder::name() const
{
    return state_->name;
}

FfmpegH264EncoderFactory::FfmpegH264EncoderFactory(FfmpegH264EncoderOptions options) : options_(std::move(options))
{
    // libavcodec writes its notes to stderr by default; this host keeps quiet unless whoever
    // embeds it has chosen a level of its own.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        if (av_log_get_level() == AV_LOG_INFO)
            av_log_set_level(AV_LOG_QUIET);
    });
}

std::unique_ptr<capture::H264Encoder> FfmpegH264EncoderFactory::create(const capture::H264EncoderSettings& settings,
                                                                       capture::H264Encoder::OutputHandler output)
{
    lastFailures_.clear();
    int lastCode = AVERROR_ENCODER_NOT_FOUND;
    for (const std::string& name : options_.candidates) {
        if (name == "x264") {
            try {
                return std::make_unique<X264H264Encoder>(settings, output, rateBufferFrames, keyFrameIntervalSeconds);
            } catch (const capture::H264EncoderError& error) {
                lastCode = error.code;
                lastFailures_.push_back({name, error.code, error.what()});
                continue;
            }
        }
        auto result = openCandidate(name, settings, options_);
        if (auto* failure = std::get_if<Failure>(&result)) {
            lastCode = failure->code;
            lastFailures_.push_back({name, failure->code, std::move(failure->reason)});
            continue;
        }
        auto& opened = std::get<Opened>(result);
        auto state = std::make_unique<FfmpegH264Encoder::State>();
        state->name = name;
        state->settings = settings;
        state->inputFormat = avPixelFormat(settings.inputFormat);
        state->context = std::move(opened.context);
        state->hardwareFrames = std::move(opened.hardwareFrames);
        state->output = std::move(output);
        return std::unique_ptr<capture::H264Encoder>(new FfmpegH264Encoder(std::move(state)));
    }
    throw capture::H264EncoderError(startFailureText, lastCode);
}

}  // namespace kestrio::platform::ffmpeg
