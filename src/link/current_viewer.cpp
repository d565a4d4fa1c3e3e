#include "link/current_viewer.h"

#include <utility>

namespace kestrio::link {

// MARK: The connection

void CurrentViewer::makeCurrent(const Session& session)
{
    session->setNumber(nextNumber_++);
    Session old;
    {
        std::lock_guard lock(lock_);
        old = std::exchange(session_, session);
    }
    if (old)
        old->close();
}

bool CurrentViewer::markConnected(const Session& session, const std::string& description)
{
    std::lock_guard lock(lock_);
    if (session_ != session || !session->markConnected())
        return false;
    peer_ = {PeerState::Kind::connected, description};
    return true;
}

bool CurrentViewer::redescribe(const Session& session, const std::string& description)
{
    std::lock_guard lock(lock_);
    if (session_ != session || peer_.kind != PeerState::Kind::connected || peer_.detail == description)
        return false;
    peer_.detail = description;
    return true;
}

bool CurrentViewer::end(const Session& session, const std::string& reason)
{
    std::lock_guard lock(lock_);
    if (session_ != session)
        return false;
    session_.reset();
    peer_ = {PeerState::Kind::dropped, reason};
    return true;
}

CurrentViewer::Session CurrentViewer::take()
{
    std::lock_guard lock(lock_);
    return std::exchange(session_, nullptr);
}

CurrentViewer::Session CurrentViewer::session() const
{
    std::lock_guard lock(lock_);
    return session_;
}

// MARK: What is known of it

PeerState CurrentViewer::peerState() const
{
    std::lock_guard lock(lock_);
    return peer_;
}

void CurrentViewer::setPeerState(PeerState state)
{
    std::lock_guard lock(lock_);
    peer_ = std::move(state);
}

std::uint64_t CurrentViewer::generation() const
{
    const auto current = session();
    return current ? current->number() : 0;
}

bool CurrentViewer::connectionUp() const
{
    const auto current = session();
    return current && current->tcpConnected();
}

bool CurrentViewer::isViewerConnected() const
{
    const auto current = session();
    return current && current->isViewerConnected();
}

bool CurrentViewer::h264Capable() const
{
    const auto current = session();
    return current && current->h264Capable();
}

bool CurrentViewer::onHomeNetwork() const
{
    const auto current = session();
    return current && current->homeNetwork();
}

// MARK: Sending

void CurrentViewer::send(ViewerSession::Payload payload, bool isFrame)
{
    if (const auto current = session())
        current->send(std::move(payload), isFrame);
}

void CurrentViewer::sendControl(std::string_view text)
{
    if (const auto current = session())
        current->sendControl(text);
}

bool CurrentViewer::canAcceptFrame() const
{
    const auto current = session();
    return current && current->canAcceptFrame();
}

int CurrentViewer::framesQueued() const
{
    const auto current = session();
    return current ? current->framesQueued() : 0;
}

bool CurrentViewer::consumeKeyFrameRequest()
{
    const auto current = session();
    return current && current->consumeKeyFrameRequest();
}

void CurrentViewer::setFrameRequestHandler(std::function<void()> handler)
{
    auto shared = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    std::lock_guard lock(lock_);
    frameRequestHandler_ = std::move(shared);
}

void CurrentViewer::requestFrame()
{
    std::shared_ptr<const std::function<void()>> handler;
    {
        std::lock_guard lock(lock_);
        handler = frameRequestHandler_;
    }
    if (handler)
        (*handler)();
}

}  // namespace kestrio::link
