#include "platform/web/browser_viewers.h"

#include "link/inbound_line.h"

#include <nlohmann/json.hpp>

#include <utility>
#include <vector>

namespace kestrio::platform::web {

std::string browserName(const std::string& userAgent)
{
    // The most specific first: Edge and Chrome both say "Chrome", Chrome says "Safari".
    const std::pair<const char*, const char*> marks[] = {
        {"Edg/", "Edge"}, {"Firefox/", "Firefox"}, {"Chromium/", "Chromium"}, {"Chrome/", "Chrome"}, {"Safari/", "Safari"}};
    for (const auto& [mark, name] : marks)
        if (userAgent.find(mark) != std::string::npos)
            return name;
    return "Browser";
}

std::shared_ptr<BrowserViewers> BrowserViewers::create(BrowserPageServer::Settings settings, std::shared_ptr<runtime::Clock> clock)
{
    return std::shared_ptr<BrowserViewers>(new BrowserViewers(std::move(settings), std::move(clock)));
}

BrowserViewers::BrowserViewers(BrowserPageServer::Settings settings, std::shared_ptr<runtime::Clock> clock)
    : settings_(std::move(settings)), clock_(std::move(clock))
{
}

BrowserViewers::~BrowserViewers()
{
    stop();
}

void BrowserViewers::start()
{
    std::lock_guard lock(mutex_);
    if (server_)
        return;
    auto settings = settings_;
    const std::weak_ptr<BrowserViewers> weak = weak_from_this();
    settings.status = [weak, status = settings_.status](bool listening, const std::string& error) {
        if (auto self = weak.lock())
            self->listening_ = listening;
        if (status)
            status(listening, error);
    };
    settings.paired = [weak](std::uint64_t number, const std::string& address, const std::string& agent) {
        if (auto self = weak.lock())
            self->paired(number, address, agent);
    };
    settings.message = [weak](std::uint64_t number, const std::string& text) {
        if (auto self = weak.lock())
            self->message(number, text);
    };
    settings.closed = [weak](std::uint64_t number) {
        if (auto self = weak.lock())
            self->closed(number);
    };
    server_ = std::make_shared<BrowserPageServer>(std::move(settings));
}

void BrowserViewers::stop()
{
    std::shared_ptr<BrowserPageServer> server;
    std::map<std::uint64_t, Browser> browsers;
    {
        std::lock_guard lock(mutex_);
        server = std::move(server_);
        browsers = std::move(browsers_);
        browsers_.clear();
        current_ = 0;
    }
    // The senders end before the server, whose thread their callbacks reach.
    browsers.clear();
    server.reset();
}

bool BrowserViewers::isViewerConnected() const
{
    std::lock_guard lock(mutex_);
    return current_ != 0;
}

std::string BrowserViewers::peerDescription() const
{
    std::lock_guard lock(mutex_);
    const auto found = browsers_.find(current_);
    return found == browsers_.end() ? std::string() : found->second.name + " \u00B7 " + found->second.address;
}

std::uint64_t BrowserViewers::connectionGeneration() const
{
    std::lock_guard lock(mutex_);
    return current_;
}

void BrowserViewers::dropConnection(std::uint64_t generation, std::string, runtime::Duration)
{
    {
        std::lock_guard lock(mutex_);
        if (generation == 0 || generation != current_)
            return;
    }
    letGo(generation);
}

std::shared_ptr<BrowserPageServer> BrowserViewers::server() const
{
    std::lock_guard lock(mutex_);
    return server_;
}

void BrowserViewers::send(std::uint64_t number, const std::string& text)
{
    if (const auto server = this->server())
        server->send(number, text);
}

void BrowserViewers::letGo(std::uint64_t number)
{
    if (const auto server = this->server()) {
        server->send(number, nlohmann::json{{"type", "replaced"}}.dump());
        server->close(number);
    }
}

void BrowserViewers::paired(std::uint64_t number, const std::string& address, const std::string& userAgent)
{
    const std::weak_ptr<BrowserViewers> weak = weak_from_this();
    WebRtcSender::Callbacks callbacks;
    callbacks.offer = [weak, number](const std::string& sdp) {
        if (auto self = weak.lock())
            self->send(number, nlohmann::json{{"type", "offer"}, {"sdp", sdp}}.dump());
    };
    callbacks.candidate = [weak, number](unsigned mline, const std::string& candidate) {
        if (auto self = weak.lock())
            self->send(number, nlohmann::json{{"type", "candidate"}, {"mline", mline}, {"candidate", candidate}}.dump());
    };
    callbacks.controlMessage = [weak, number](const std::string& text) {
        if (auto self = weak.lock())
            self->controlLine(number, text);
    };
    callbacks.connection = [weak, number](bool up) {
        if (auto self = weak.lock())
            self->connectionChanged(number, up);
    };
    callbacks.keyFrameRequest = [weak, number] {
        if (auto self = weak.lock(); self && self->connectionGeneration() == number)
            self->requestPicture();
    };
    callbacks.transportFeedback = [weak, number](double loss, std::chrono::nanoseconds delayGrowth) {
        if (auto self = weak.lock())
            self->pathReport(number, [&](kestrio::web::PathCongestion& path, runtime::TimePoint now) { path.transportFeedback(now, loss, delayGrowth); });
    };
    callbacks.receiverReport = [weak, number](double loss, std::optional<std::chrono::nanoseconds> roundTrip) {
        if (auto self = weak.lock())
            self->pathReport(number, [&](kestrio::web::PathCongestion& path, runtime::TimePoint now) { path.receiverReport(now, loss, roundTrip); });
    };
    std::shared_ptr<WebRtcSender> sender;
    try {
        sender = std::make_shared<WebRtcSender>(std::move(callbacks));
    } catch (const std::exception& error) {
        send(number, nlohmann::json{{"type", "error"}, {"text", error.what()}}.dump());
        return;
    }
    std::lock_guard lock(mutex_);
    browsers_[number] = Browser{address, browserName(userAgent), std::move(sender), false, 0, {}, 0};
}

void BrowserViewers::message(std::uint64_t number, const std::string& text)
{
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("type") || !parsed["type"].is_string())
        return;
    const std::string type = parsed["type"].get<std::string>();
    std::shared_ptr<WebRtcSender> sender;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = browsers_.find(number); found != browsers_.end() &&
                                                     (type != "candidate" || ++found->second.candidates <= maxCandidatesPerBrowser))
            sender = found->second.sender;
    }
    if (type == "jpeg") {
        useJpeg(number);
        return;
    }
    if (type == "ack") {
        std::lock_guard lock(mutex_);
        if (const auto found = browsers_.find(number); found != browsers_.end() && found->second.unacknowledged > 0)
            --found->second.unacknowledged;
        return;
    }
    if (type == "control" && parsed.contains("line") && parsed["line"].is_string()) {
        controlLine(number, parsed["line"].get<std::string>());
        return;
    }
    if (!sender)
        return;
    if (type == "answer" && parsed.contains("sdp") && parsed["sdp"].is_string())
        sender->setAnswer(parsed["sdp"].get<std::string>());
    else if (type == "candidate" && parsed.contains("candidate") && parsed["candidate"].is_string() && parsed.contains("mline") &&
             parsed["mline"].is_number_unsigned())
        sender->addCandidate(parsed["mline"].get<unsigned>(), parsed["candidate"].get<std::string>());
}

void BrowserViewers::useJpeg(std::uint64_t number)
{
    std::shared_ptr<WebRtcSender> sender;
    {
        std::lock_guard lock(mutex_);
        const auto found = browsers_.find(number);
        if (found == browsers_.end() || found->second.jpeg)
            return;
        found->second.jpeg = true;
        sender = std::move(found->second.sender);
    }
    sender.reset();
    // Nothing more to set up: the page is the viewer from now on.
    connectionChanged(number, true);
}

bool BrowserViewers::h264Capable() const
{
    std::lock_guard lock(mutex_);
    const auto found = browsers_.find(current_);
    return found != browsers_.end() && !found->second.jpeg;
}

bool BrowserViewers::canAcceptFrame() const
{
    std::lock_guard lock(mutex_);
    const auto found = browsers_.find(current_);
    return found != browsers_.end() && found->second.unacknowledged < maxUnacknowledgedJpegs;
}

int BrowserViewers::framesQueued() const
{
    std::lock_guard lock(mutex_);
    const auto found = browsers_.find(current_);
    return found == browsers_.end() ? 0 : found->second.unacknowledged;
}

bool BrowserViewers::pathCongested() const
{
    const auto now = clock_->now();
    std::lock_guard lock(mutex_);
    const auto found = browsers_.find(current_);
    return found != browsers_.end() && found->second.path.congested(now);
}

void BrowserViewers::pathReport(std::uint64_t number, const std::function<void(kestrio::web::PathCongestion&, runtime::TimePoint)>& report)
{
    const auto now = clock_->now();
    std::lock_guard lock(mutex_);
    if (const auto found = browsers_.find(number); found != browsers_.end())
        report(found->second.path, now);
}

void BrowserViewers::sendJpeg(std::vector<std::uint8_t> jpeg)
{
    std::shared_ptr<BrowserPageServer> server;
    std::uint64_t number = 0;
    {
        std::lock_guard lock(mutex_);
        const auto found = browsers_.find(current_);
        if (found == browsers_.end() || !found->second.jpeg || found->second.unacknowledged >= maxUnacknowledgedJpegs)
            return;
        ++found->second.unacknowledged;
        server = server_;
        number = current_;
    }
    if (server)
        server->sendBinary(number, std::move(jpeg));
}

void BrowserViewers::closed(std::uint64_t number)
{
    std::shared_ptr<WebRtcSender> sender;
    bool wasCurrent = false;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = browsers_.find(number); found != browsers_.end()) {
            sender = std::move(found->second.sender);
            browsers_.erase(found);
        }
        wasCurrent = current_ == number;
        if (wasCurrent)
            current_ = 0;
    }
    sender.reset();
    if (wasCurrent)
        changed();
}

void BrowserViewers::connectionChanged(std::uint64_t number, bool up)
{
    std::uint64_t replaced = 0;
    bool wasCurrent = false;
    {
        std::lock_guard lock(mutex_);
        const auto found = browsers_.find(number);
        if (found == browsers_.end())
            return;
        wasCurrent = current_ == number;
        if (up && !wasCurrent)
            replaced = std::exchange(current_, number);
        else if (!up && wasCurrent)
            current_ = 0;
    }
    if (up == wasCurrent)
        return;
    if (replaced != 0)
        letGo(replaced);
    if (up)
        requestPicture();
    changed();
}

void BrowserViewers::controlLine(std::uint64_t number, const std::string& line)
{
    {
        std::lock_guard lock(mutex_);
        if (number != current_)
            return;
    }
    const auto parsed = link::parseInboundLine(line);
    if (std::holds_alternative<link::KeyFrameRequest>(parsed))
        requestPicture();
    else if (const auto* event = std::get_if<link::ViewerControlEvent>(&parsed); event && onControlEvent_)
        onControlEvent_(*event);
}

void BrowserViewers::requestPicture()
{
    keyFrameRequested_ = true;
    std::function<void()> request;
    {
        std::lock_guard lock(mutex_);
        request = frameRequest_;
    }
    if (request)
        request();
}

void BrowserViewers::setFrameRequestHandler(std::function<void()> handler)
{
    std::lock_guard lock(mutex_);
    frameRequest_ = std::move(handler);
}

void BrowserViewers::sendVideo(const capture::EncodedVideoFrame& frame)
{
    std::shared_ptr<WebRtcSender> sender;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = browsers_.find(current_); found != browsers_.end())
            sender = found->second.sender;
    }
    if (sender)
        sender->push(frame);
}

void BrowserViewers::changed()
{
    if (onStateChange_)
        onStateChange_();
}

}  // namespace kestrio::platform::web
