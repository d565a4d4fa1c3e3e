#pragma once

// An Xorg of the test's own that drives "monitors" through the dummy video driver
// (tests/support/xorg-dummy.conf): DUMMY0 lit at 2048x1536, DUMMY1-DUMMY15 disconnected, each
// output with a CRTC of its own, as on a graphics card with unused sockets. Xorg runs only as
// root; the tests that need it are skipped otherwise.

#include "platform/os/child_process_run.h"
#include "platform/x11/x_authority.h"

#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace kestrio::platform::testing {

class XorgServer {
public:
    // Null (with `why`) when this machine cannot run one. `videoMemory` (KiB) bounds the screen's
    // size. Admits this process (XAUTHORITY) until it ends.
    static std::unique_ptr<XorgServer> start(std::string& why, int videoMemory = 256000)
    {
        if (::geteuid() != 0 || !std::filesystem::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so")) {
            why = "Xorg with the dummy driver needs root and xserver-xorg-video-dummy";
            return nullptr;
        }
        std::unique_ptr<XorgServer> server(new XorgServer());
        server->authority_ = x11::XAuthority::create(why);
        char folder[] = "/tmp/kestrio-xorg-XXXXXX";
        if (!server->authority_ || !::mkdtemp(folder))
            return nullptr;
        server->folder_ = folder;
        std::filesystem::create_directory(server->folder_ / "empty");
        std::ifstream model(KESTRIO_XORG_CONFIG);
        std::string config((std::istreambuf_iterator<char>(model)), std::istreambuf_iterator<char>());
        config.replace(config.find("VideoRam 256000"), 15, "VideoRam " + std::to_string(videoMemory));
        std::ofstream(server->folder_ / "xorg.conf") << config;
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return nullptr;
        server->pid_ = os::startChildProcess("Xorg", {"-displayfd", std::to_string(ends[1]), "-config", (server->folder_ / "xorg.conf").string(), "-configdir",
                                                  (server->folder_ / "empty").string(), "-noreset", "-nolisten", "tcp", "-auth",
                                                  server->authority_->file(), "-logfile", (server->folder_ / "log").string()},
                                         ends[1]);
        ::close(ends[1]);
        std::string number;
        char buffer[16];
        pollfd entry{ends[0], POLLIN, 0};
        while (number.find('\n') == std::string::npos && ::poll(&entry, 1, 15000) > 0) {
            const auto count = ::read(ends[0], buffer, sizeof buffer);
            if (count <= 0)
                break;
            number.append(buffer, static_cast<std::size_t>(count));
        }
        ::close(ends[0]);
        if (number.find('\n') == std::string::npos) {
            why = "Xorg did not start";
            return nullptr;
        }
        server->displayName_ = ":" + number.substr(0, number.find('\n'));
        if (const char* earlier = std::getenv("XAUTHORITY"))
            server->earlierAuthority_ = earlier;
        ::setenv("XAUTHORITY", server->authority_->file().c_str(), 1);
        return server;
    }
    ~XorgServer()
    {
        if (pid_ > 0)
            os::stopChildProcess(pid_, std::chrono::seconds(5));
        if (earlierAuthority_)
            ::setenv("XAUTHORITY", earlierAuthority_->c_str(), 1);
        std::error_code ignored;
        if (!folder_.empty())
            std::filesystem::remove_all(folder_, ignored);
    }

    const std::string& displayName() const { return displayName_; }

private:
    XorgServer() = default;

    std::unique_ptr<x11::XAuthority> authority_;
    std::filesystem::path folder_;
    pid_t pid_ = -1;
    std::string displayName_;
    std::optional<std::string> earlierAuthority_;
};

}  // namespace kestrio::platform::testing
