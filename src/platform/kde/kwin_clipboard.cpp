#include "platform/kde/kwin_clipboard.h"

#include "wlr-data-control-unstable-v1.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace kestrio::platform::kde {
namespace {

// The names programs ask for text by, the most precise first.
constexpr std::array<const char*, 5> textTypes{"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT", "STRING"};
// After the reader took the last byte, the time it is given to put the text in.
constexpr auto insertWait = std::chrono::milliseconds(40);
constexpr int writeWaitMilliseconds = 2000;

// Reads `fd` to its end, at most `limit` bytes, waiting at most `wait` for each part.
std::optional<std::string> readAll(int fd, std::size_t limit, std::chrono::milliseconds wait)
{
    std::string data;
    char buffer[65536];
    for (;;) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(wait.count())) <= 0)
            return std::nullopt;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return data;
        if (data.size() + static_cast<std::size_t>(got) > limit)
            return std::nullopt;
        data.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

KwinClipboard::KwinClipboard(std::shared_ptr<KwinConnection> connection) : connection_(std::move(connection))
{
    auto held = connection_->lock();
    if (connection_->dataControl() && connection_->seat()) {
        static const zwlr_data_control_device_v1_listener listener{&KwinClipboard::dataOffer, &KwinClipboard::selection,
                                                                  &KwinClipboard::finished, &KwinClipboard::primarySelection};
        device_ = zwlr_data_control_manager_v1_get_data_device(connection_->dataControl(), connection_->seat());
        zwlr_data_control_device_v1_add_listener(device_, &listener, this);
        connection_->flush();
    }
    writer_ = std::thread([this] { writeAll(); });
}

KwinClipboard::~KwinClipboard()
{
    {
        std::lock_guard lock(writesMutex_);
        stopping_ = true;
    }
    writesChanged_.notify_all();
    writer_.join();
    auto held = connection_->lock();
    for (auto& source : sources_)
        zwlr_data_control_source_v1_destroy(source->proxy);
    for (auto& [proxy, offer] : offers_)
        zwlr_data_control_offer_v1_destroy(proxy);
    if (device_)
        zwlr_data_control_device_v1_destroy(device_);
    connection_->flush();
    for (auto& write : writes_)
        ::close(write.fd);
}

KwinClipboard::Content KwinClipboard::textContent(const std::string& text)
{
    Content content;
    for (const char* type : textTypes)
        content[type] = text;
    return content;
}

bool KwinClipboard::pasteText(const std::string& text, const std::function<void()>& typeShortcut)
{
    auto held = connection_->lock();
    if (!device_)
        return false;
    const std::shared_ptr<const Content> before = restored_ ? restored_ : std::make_shared<const Content>(currentContent(held));
    Source* paste = offer(std::make_shared<const Content>(textContent(text)));
    int served = 0;
    try {
        // KWin has made the text the clipboard's content: a keeper's read of it is on its way.
        connection_->sync(held);
        {
            std::lock_guard lock(writesMutex_);
            served = pasteReadsServed_;
        }
        typeShortcut();
        // Every read KWin passes on after it took the shortcut is the paste's.
        connection_->sync(held, [this, paste] {
            // Unless KWin has let it go already (another program took the clipboard).
            for (auto& source : sources_) {
                if (source.get() == paste)
                    paste->counted = true;
            }
        });
    } catch (const KwinError&) {
        return false;
    }
    held.unlock();
    {
        std::unique_lock lock(writesMutex_);
        if (writesChanged_.wait_for(lock, readWait, [&] { return pasteReadsServed_ > served; }))
            std::this_thread::sleep_for(insertWait);
    }
    held.lock();
    drop(paste);
    if (!device_)
        return true;
    if (!before->empty()) {
        offer(before);
        restored_ = before;
    } else {
        zwlr_data_control_device_v1_set_selection(device_, nullptr);
    }
    connection_->flush();
    return true;
}

KwinClipboard::Content KwinClipboard::currentContent(std::unique_lock<std::mutex>& held)
{
    const auto found = offers_.find(current_);
    if (!current_ || found == offers_.end() || found->second.mimeTypes.empty())
        return {};
    const auto& types = found->second.mimeTypes;
    std::string type = types.front();
    for (const char* text : textTypes) {
        if (std::find(types.begin(), types.end(), text) != types.end()) {
            type = text;
            break;
        }
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    os::UniqueFd readEnd(ends[0]);
    zwlr_data_control_offer_v1_receive(current_, type.c_str(), ends[1]);
    connection_->flush();
    ::close(ends[1]);
    held.unlock();
    const auto data = readAll(readEnd.get(), largestRestored, readWait);
    held.lock();
    if (!data)
        return {};
    // Text read under a UTF-8 name is offered again under every text name; under another (text/plain
    // may be in another charset) only under its own.
    const bool utf8 = type == textTypes[0] || type == textTypes[1];
    return utf8 ? textContent(*data) : Content{{type, *data}};
}

KwinClipboard::Source* KwinClipboard::offer(std::shared_ptr<const Content> content)
{
    static const zwlr_data_control_source_v1_listener listener{&KwinClipboard::send, &KwinClipboard::cancelled};
    auto source = std::make_unique<Source>();
    source->clipboard = this;
    source->content = std::move(content);
    source->proxy = zwlr_data_control_manager_v1_create_data_source(connection_->dataControl());
    zwlr_data_control_source_v1_add_listener(source->proxy, &listener, source.get());
    for (const auto& [type, data] : *source->content)
        zwlr_data_control_source_v1_offer(source->proxy, type.c_str());
    zwlr_data_control_device_v1_set_selection(device_, source->proxy);
    sources_.push_back(std::move(source));
    return sources_.back().get();
}

void KwinClipboard::drop(Source* source)
{
    const auto found = std::find_if(sources_.begin(), sources_.end(), [&](const auto& held) { return held.get() == source; });
    if (found == sources_.end())
        return;
    zwlr_data_control_source_v1_destroy(source->proxy);
    sources_.erase(found);
}

void KwinClipboard::writeAll()
{
    for (;;) {
        Write write;
        {
            std::unique_lock lock(writesMutex_);
            writesChanged_.wait(lock, [&] { return stopping_ || !writes_.empty(); });
            if (stopping_)
                return;
            write = std::move(writes_.front());
            writes_.pop_front();
        }
        const os::UniqueFd fd(write.fd);
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
        const std::string& data = write.content->at(write.mimeType);
        std::size_t written = 0;
        bool whole = true;
        while (written < data.size()) {
            const ssize_t put = ::write(fd.get(), data.data() + written, data.size() - written);
            if (put > 0) {
                written += static_cast<std::size_t>(put);
                continue;
            }
            pollfd writable{fd.get(), POLLOUT, 0};
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || ::poll(&writable, 1, writeWaitMilliseconds) <= 0) {
                whole = false;
                break;
            }
        }
        if (!write.paste)
            continue;
        // The paste is served once its reader has taken the last byte from the pipe.
        for (int waited = 0; whole && waited < writeWaitMilliseconds; waited += 5) {
            int unread = 0;
            if (::ioctl(fd.get(), FIONREAD, &unread) != 0 || unread == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::lock_guard lock(writesMutex_);
        ++pasteReadsServed_;
        writesChanged_.notify_all();
    }
}

void KwinClipboard::dataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    auto* self = static_cast<KwinClipboard*>(data);
    static const zwlr_data_control_offer_v1_listener listener{&KwinClipboard::offerType};
    self->offers_[offer].proxy = offer;
    zwlr_data_control_offer_v1_add_listener(offer, &listener, self);
}

void KwinClipboard::selection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    auto* self = static_cast<KwinClipboard*>(data);
    // Offers that are no longer the selection are let go.
    for (auto it = self->offers_.begin(); it != self->offers_.end();) {
        if (it->first != offer) {
            zwlr_data_control_offer_v1_destroy(it->first);
            it = self->offers_.erase(it);
        } else {
            ++it;
        }
    }
    self->current_ = offer;
}

void KwinClipboard::finished(void* data, zwlr_data_control_device_v1*)
{
    auto* self = static_cast<KwinClipboard*>(data);
    zwlr_data_control_device_v1_destroy(self->device_);
    self->device_ = nullptr;
}

void KwinClipboard::primarySelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    auto* self = static_cast<KwinClipboard*>(data);
    if (offer && offer != self->current_) {
        self->offers_.erase(offer);
        zwlr_data_control_offer_v1_destroy(offer);
    }
}

void KwinClipboard::offerType(void* data, zwlr_data_control_offer_v1* offer, const char* mimeType)
{
    auto* self = static_cast<KwinClipboard*>(data);
    if (mimeType)
        self->offers_[offer].mimeTypes.emplace_back(mimeType);
}

void KwinClipboard::send(void* data, zwlr_data_control_source_v1*, const char* mimeType, std::int32_t fd)
{
    auto* source = static_cast<Source*>(data);
    auto* self = source->clipboard;
    const std::string type = mimeType ? mimeType : "";
    if (!source->content->count(type)) {
        ::close(fd);
        return;
    }
    std::lock_guard lock(self->writesMutex_);
    self->writes_.push_back({fd, source->content, type, source->counted});
    self->writesChanged_.notify_all();
}

void KwinClipboard::cancelled(void* data, zwlr_data_control_source_v1*)
{
    auto* source = static_cast<Source*>(data);
    auto* self = source->clipboard;
    if (self->restored_ == source->content)
        self->restored_.reset();
    self->drop(source);
}

}  // namespace kestrio::platform::kde
