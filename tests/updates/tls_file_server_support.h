#pragma once

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

    // Puts a file in the served folder, answered with status 200.
    void addFile(const std::string& name, std::string_view contents) const;
    // Answers requests for `name` with a redirect to `location`.
    void addRedirect(const std::string& name, std::string_view location) const;
    // "https://127.0.0.1:<port>/<name>"
    std::string url(std::string_view name) const;
    // The certificate the server presents, which is its own issuer.
    std::string certificateFile() const { return folder_ + "/certificate.pem"; }

private:
    bool start();
    // The server sends the file for a name as it is: status line, headers and body.
    void addResponse(const std::string& name, std::string_view response) const;

    std::string folder_;
    std::string failure_;
    pid_t pid_ = -1;
    int output_ = -1;
    unsigned port_ = 0;
};

}  // namespace kestrio::test
