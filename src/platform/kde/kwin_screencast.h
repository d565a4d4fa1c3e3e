#pragma once

#include "platform/kde/kwin_connection.h"

#include <cstdint>
#include <memory>
#include <string>

struct zkde_screencast_stream_unstable_v1;

namespace kestrio::platform::kde {

// One stream of KWin's screen cast, with the cursor drawn into the pictures: an output's, or that
// of a virtual output KWin makes for it and removes when the stream is closed. Its pictures come
// through PipeWire, from the node KWin names.
class KwinScreencast {
public:
    // The stream of the output `global`. Throws KwinError, with KWin's reason, when it refuses.
    static std::unique_ptr<KwinScreencast> ofOutput(std::shared_ptr<KwinConnection> connection, std::uint32_t global);
    // A new virtual output `name` of `width`×`height` logical pixels and its stream. Throws KwinError.
    static std::unique_ptr<KwinScreencast> ofVirtualOutput(std::shared_ptr<KwinConnection> connection, const std::string& name,
                                                           int width, int height);
    ~KwinScreencast();
    KwinScreencast(const KwinScreencast&) = delete;
    KwinScreencast& operator=(const KwinScreencast&) = delete;

    std::uint32_t node() const { return node_; }
    // KWin ended the stream (its output went away).
    bool closed() const;

private:
    explicit KwinScreencast(std::shared_ptr<KwinConnection> connection) : connection_(std::move(connection)) {}
    void await(std::unique_lock<std::mutex>& held);
    static void created(void* data, zkde_screencast_stream_unstable_v1* stream, std::uint32_t node);
    static void failed(void* data, zkde_screencast_stream_unstable_v1* stream, const char* error);
    static void closedByKwin(void* data, zkde_screencast_stream_unstable_v1* stream);

    std::shared_ptr<KwinConnection> connection_;
    zkde_screencast_stream_unstable_v1* stream_ = nullptr;
    std::uint32_t node_ = 0;
    bool answered_ = false;
    bool closed_ = false;
    std::string error_;
};

}  // namespace kestrio::platform::kde
