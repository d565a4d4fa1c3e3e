#include "platform/kde/kwin_screencast.h"

#include "zkde-screencast-unstable-v1.h"

#include <wayland-client.h>

namespace kestrio::platform::kde {
namespace {

constexpr auto answerWait = std::chrono::seconds(5);
constexpr std::uint32_t cursorHidden = 1;
constexpr std::uint32_t cursorDrawnIn = 2;  // the protocol's "embedded"

// KWin draws the pointer into a cast by painting the output again at each move, which its virtual
// backend (no physical monitor: no output names its maker) cannot do; KWin 5.27 crashes trying.
// Nobody sees a pointer there anyway, so it is left out.
std::uint32_t cursorMode(const KwinConnection& connection)
{
    for (const auto& output : connection.outputs()) {
        if (!output.make.empty())
            return cursorDrawnIn;
    }
    return cursorHidden;
}

}  // namespace

std::unique_ptr<KwinScreencast> KwinScreencast::ofOutput(std::shared_ptr<KwinConnection> connection, std::uint32_t global)
{
    std::unique_ptr<KwinScreencast> cast(new KwinScreencast(connection));
    auto held = connection->lock();
    if (!connection->screencast())
        throw KwinError("KWin does not grant this program its screen cast");
    wl_output* output = connection->outputObject(global);
    if (!output)
        throw KwinError("the output is gone");
    cast->stream_ = zkde_screencast_unstable_v1_stream_output(connection->screencast(), output, cursorMode(*connection));
    cast->await(held);
    return cast;
}

std::unique_ptr<KwinScreencast> KwinScreencast::ofVirtualOutput(std::shared_ptr<KwinConnection> connection,
                                                                const std::string& name, int width, int height)
{
    std::unique_ptr<KwinScreencast> cast(new KwinScreencast(connection));
    auto held = connection->lock();
    if (!connection->screencast())
        throw KwinError("KWin does not grant this program its screen cast");
    if (connection->screencastVersion() < ZKDE_SCREENCAST_UNSTABLE_V1_STREAM_VIRTUAL_OUTPUT_SINCE_VERSION)
        throw KwinError("this KWin makes no virtual outputs");
    cast->stream_ = zkde_screencast_unstable_v1_stream_virtual_output(connection->screencast(), name.c_str(), width, height,
                                                                      wl_fixed_from_int(1), cursorMode(*connection));
    cast->await(held);
    return cast;
}

void KwinScreencast::await(std::unique_lock<std::mutex>& held)
{
    static const zkde_screencast_stream_unstable_v1_listener listener{&KwinScreencast::closedByKwin, &KwinScreencast::created,
                                                                     &KwinScreencast::failed};
    zkde_screencast_stream_unstable_v1_add_listener(stream_, &listener, this);
    if (!connection_->flush() || !connection_->waitFor(held, answerWait, [this] { return answered_; }))
        throw KwinError(connection_->broken() ? "the connection to KWin broke" : "KWin did not answer the screen-cast request");
    if (!error_.empty() || node_ == 0)
        throw KwinError("KWin refused the screen cast: " + (error_.empty() ? std::string("no stream") : error_));
}

KwinScreencast::~KwinScreencast()
{
    if (!stream_)
        return;
    auto held = connection_->lock();
    zkde_screencast_stream_unstable_v1_close(stream_);
    connection_->flush();
}

bool KwinScreencast::closed() const
{
    auto held = connection_->lock();
    return closed_ || connection_->broken();
}

void KwinScreencast::created(void* data, zkde_screencast_stream_unstable_v1*, std::uint32_t node)
{
    auto* self = static_cast<KwinScreencast*>(data);
    self->node_ = node;
    self->answered_ = true;
    self->connection_->notify();
}

void KwinScreencast::failed(void* data, zkde_screencast_stream_unstable_v1*, const char* error)
{
    auto* self = static_cast<KwinScreencast*>(data);
    self->error_ = error && *error ? error : "unknown reason";
    self->answered_ = true;
    self->connection_->notify();
}

void KwinScreencast::closedByKwin(void* data, zkde_screencast_stream_unstable_v1*)
{
    auto* self = static_cast<KwinScreencast*>(data);
    self->closed_ = true;
    self->answered_ = true;
    self->connection_->notify();
}

}  // namespace kestrio::platform::kde
