#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrio::test {

// An HTTPS server on 127.0.0.1: `openssl s_server -HTTP` serving the files of a scratch folder,
// with a self-signed certificate for 127.0.0.1 made for the occasion. started() is false (and
// failure says why) when openssl is missing or would not start.
class TlsFileServer {
public:
    TlsFileServer();
    ~TlsFileServer();

    TlsFileServer(const TlsFileServer&) = delete;
    TlsFileServer& operator=(const TlsFileServer&) = delete;

    bool started() const { return pid_ > 0 && port_ != 0; }
    const std::string& failure() const { return failure_; }

    // Answers requests for `name` with `response` as it is: status line, headers and body.
    void addResponse(const std::string& name, std::string_view response) const;
    // The same with status 200 (or `status`) and `contents`, by length or in chunks of 1000 bytes.
    void addFile(const std::string& name, std::string_view contents, int status = 200, bool chunked = false) const;
    // Answers requests for `name` with a redirect to `location`.
    void addRedirect(const std::string& name, std::string_view location) const;
    // "https://127.0.0.1:<port>/<name>"
    std::string url(std::string_view name) const;
    // The certificate the server presents, which is its own issuer.
    std::string certificateFile() const { return folder_ + "/certificate.pem"; }

private:
    void start();

    std::string folder_;
    std::string failure_;
    pid_t pid_ = -1;
    std::FILE* output_ = nullptr;
    unsigned port_ = 0;
};

// A port on 127.0.0.1 that takes connections (the kernel completes them) and never answers, or,
// not listening, refuses them; no other program can take the port while this object lives.
class SilentPort {
public:
    explicit SilentPort(bool listening = true);
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;

    // "<scheme>://127.0.0.1:<port><path>"
    std::string url(std::string_view scheme, std::string_view path) const;
    // Whether a client connected within `wait`.
    bool connected(std::chrono::milliseconds wait = {}) const;

private:
    int socket_ = -1;
    unsigned port_ = 0;
};

}  // namespace kestrio::test
