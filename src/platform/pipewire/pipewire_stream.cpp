#include "platform/pipewire/pipewire_stream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <mutex>
#include <utility>

namespace kestrio::platform::pipewire {
namespace {

void initialisePipeWire()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// What this consumer accepts: raw video in 32-bit BGRx or BGRA, of one size or any.
const spa_pod* videoFormat(spa_pod_builder& builder, std::optional<PipeWireStream::Size> size)
{
    spa_pod_frame object, choice;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(&builder, SPA_VIDEO_FORMAT_BGRx);
    spa_pod_builder_id(&builder, SPA_VIDEO_FORMAT_BGRx);
    spa_pod_builder_id(&builder, SPA_VIDEO_FORMAT_BGRA);
    spa_pod_builder_pop(&builder, &choice);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
    if (size) {
        spa_pod_builder_rectangle(&builder, static_cast<std::uint32_t>(size->width), static_cast<std::uint32_t>(size->height));
    } else {
        spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
        spa_pod_builder_rectangle(&builder, 1920, 1080);
        spa_pod_builder_rectangle(&builder, 1, 1);
        spa_pod_builder_rectangle(&builder, 16384, 16384);
        spa_pod_builder_pop(&builder, &choice);
    }
    // Pictures when something changed, at most 60 a second.
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_fraction(&builder, 0, 1);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_maxFramerate, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(&builder, 60, 1);
    spa_pod_builder_fraction(&builder, 1, 1);
    spa_pod_builder_fraction(&builder, 60, 1);
    spa_pod_builder_pop(&builder, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

// Buffers in memory we can map (no DMA-BUF), with a header that says whether the data is whole.
const spa_pod* bufferRequirements(spa_pod_builder& builder)
{
    spa_pod_frame object;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_builder_int(&builder, (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

const spa_pod* headerMeta(spa_pod_builder& builder)
{
    spa_pod_frame object;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(&builder, SPA_META_Header);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(&builder, sizeof(spa_meta_header));
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

// Whether a buffer holds a whole picture.
bool whole(const pw_buffer* buffer)
{
    const spa_buffer* data = buffer->buffer;
    if (data->n_datas < 1 || !data->datas[0].data || !data->datas[0].chunk || data->datas[0].chunk->size == 0)
        return false;
    if (data->datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)
        return false;
    const auto* header = static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(data, SPA_META_Header, sizeof(spa_meta_header)));
    return !header || !(header->flags & SPA_META_HEADER_FLAG_CORRUPTED);
}

// Holds the thread loop's lock.
struct LoopLock {
    explicit LoopLock(pw_thread_loop* loop) : loop(loop) { pw_thread_loop_lock(loop); }
    ~LoopLock() { pw_thread_loop_unlock(loop); }
    pw_thread_loop* loop;
};

}  // namespace

struct PipeWireStream::Listener {
    pw_stream_events events{};
    spa_hook hook{};
};

PipeWireStream::PipeWireStream(std::uint32_t node, std::optional<Size> fixedSize) : listener_(std::make_unique<Listener>())
{
    initialisePipeWire();
    loop_ = pw_thread_loop_new("kestrio-pipewire", nullptr);
    context_ = loop_ ? pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0) : nullptr;
    if (!context_ || pw_thread_loop_start(loop_) < 0) {
        release();
        throw PipeWireError("cannot start a PipeWire loop");
    }
    {
        LoopLock lock(loop_);
        core_ = pw_context_connect(context_, nullptr, 0);
        if (core_) {
            stream_ = pw_stream_new(core_, "kestrio",
                                    pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                      PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        }
        if (stream_) {
            listener_->events.version = PW_VERSION_STREAM_EVENTS;
            listener_->events.process = &PipeWireStream::onProcess;
            listener_->events.param_changed = &PipeWireStream::onParamChanged;
            listener_->events.state_changed = [](void* self, pw_stream_state, pw_stream_state state, const char*) {
                onStateChanged(self, state);
            };
            pw_stream_add_listener(stream_, &listener_->hook, &listener_->events, this);
            std::uint8_t storage[1024];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
            const spa_pod* params[] = {videoFormat(builder, fixedSize)};
            const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
            if (pw_stream_connect(stream_, PW_DIRECTION_INPUT, node, flags, params, 1) < 0)
                ended_ = true;
        }
    }
    if (!stream_) {
        release();
        throw PipeWireError("cannot reach the PipeWire daemon");
    }
}

PipeWireStream::~PipeWireStream() { release(); }

void PipeWireStream::release()
{
    // The loop's thread ends first; nothing else then touches the stream.
    if (loop_)
        pw_thread_loop_stop(loop_);
    if (stream_)
        pw_stream_destroy(std::exchange(stream_, nullptr));
    if (core_)
        pw_core_disconnect(std::exchange(core_, nullptr));
    if (context_)
        pw_context_destroy(std::exchange(context_, nullptr));
    if (loop_)
        pw_thread_loop_destroy(std::exchange(loop_, nullptr));
}

std::optional<PipeWireStream::Size> PipeWireStream::waitForFormat(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    formatChanged_.wait_for(lock, timeout, [this] { return size_ || ended_; });
    return size_;
}

bool PipeWireStream::takeChange()
{
    std::lock_guard lock(mutex_);
    return std::exchange(changed_, false);
}

void PipeWireStream::onNews(std::function<void()> news)
{
    std::lock_guard lock(mutex_);
    news_ = std::move(news);
}

bool PipeWireStream::withPicture(const std::function<void(const StreamPicture&)>& use)
{
    std::lock_guard lock(mutex_);
    if (!held_ || !size_)
        return false;
    const spa_data& data = held_->buffer->datas[0];
    StreamPicture picture;
    picture.pixels = static_cast<const std::uint8_t*>(data.data) + data.chunk->offset;
    picture.width = size_->width;
    picture.height = size_->height;
    picture.stride = data.chunk->stride > 0 ? data.chunk->stride : size_->width * 4;
    // A buffer shorter than its picture is not read past its end.
    if (static_cast<std::size_t>(picture.stride) * picture.height > data.chunk->size || picture.stride < picture.width * 4)
        return false;
    use(picture);
    return true;
}

bool PipeWireStream::ended() const
{
    std::lock_guard lock(mutex_);
    return ended_;
}

void PipeWireStream::onProcess(void* opaque)
{
    auto* self = static_cast<PipeWireStream*>(opaque);
    pw_buffer* newest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_)) {
        if (newest)
            pw_stream_queue_buffer(self->stream_, newest);
        newest = buffer;
    }
    if (!newest)
        return;
    if (!whole(newest)) {
        pw_stream_queue_buffer(self->stream_, newest);
        return;
    }
    pw_buffer* previous = nullptr;
    std::function<void()> news;
    {
        std::lock_guard lock(self->mutex_);
        previous = std::exchange(self->held_, newest);
        self->changed_ = true;
        news = self->news_;
    }
    if (previous)
        pw_stream_queue_buffer(self->stream_, previous);
    if (news)
        news();
}

void PipeWireStream::onParamChanged(void* opaque, std::uint32_t id, const spa_pod* param)
{
    auto* self = static_cast<PipeWireStream*>(opaque);
    if (id != SPA_PARAM_Format || !param)
        return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0 || info.size.width == 0 || info.size.height == 0)
        return;
    {
        std::lock_guard lock(self->mutex_);
        self->size_ = Size{static_cast<int>(info.size.width), static_cast<int>(info.size.height)};
        // A picture of the old size must not be read as one of the new.
        if (self->held_) {
            pw_stream_queue_buffer(self->stream_, self->held_);
            self->held_ = nullptr;
        }
    }
    self->formatChanged_.notify_all();
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {bufferRequirements(builder), headerMeta(builder)};
    pw_stream_update_params(self->stream_, params, 2);
}

void PipeWireStream::onStateChanged(void* opaque, int state)
{
    auto* self = static_cast<PipeWireStream*>(opaque);
    if (state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED)
        return;
    {
        std::lock_guard lock(self->mutex_);
        self->ended_ = true;
    }
    self->formatChanged_.notify_all();
}

}  // namespace kestrio::platform::pipewire
