#include "updates/tls_file_server_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kestrio::test {

TlsFileServer::TlsFileServer()
{
    char pattern[] = "/tmp/kestrio-tls-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        failure_ = "no scratch folder";
        return;
    }
    folder_ = pattern;
    start();
}

void TlsFileServer::start()
{
    const std::string in = "cd '" + folder_ + "' && ";
    if (std::system((in + "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout key.pem "
                          "-out certificate.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                          ">/dev/null 2>&1 </dev/null")
                        .c_str())
        != 0) {
        failure_ = "openssl could not make a certificate";
        return;
    }
    // The shell names itself, then becomes the server, which names the port it took once it
    // listens: "ACCEPT 127.0.0.1:<port>".
    output_ = ::popen((in + "echo $$; exec openssl s_server -HTTP -accept 127.0.0.1:0 -cert certificate.pem -key key.pem "
                            "2>/dev/null </dev/null")
                          .c_str(),
                      "r");
    char line[256];
    if (output_ == nullptr || std::fgets(line, sizeof line, output_) == nullptr) {
        failure_ = "openssl s_server would not start";
        return;
    }
    pid_ = static_cast<pid_t>(std::atoi(line));
    while (std::fgets(line, sizeof line, output_) != nullptr) {
        const std::string text = line;
        if (text.rfind("ACCEPT ", 0) == 0) {
            port_ = static_cast<unsigned>(std::strtoul(text.substr(text.rfind(':') + 1).c_str(), nullptr, 10));
            return;
        }
    }
    failure_ = "openssl s_server ended before listening";
}

TlsFileServer::~TlsFileServer()
{
    if (pid_ > 0)
        ::kill(pid_, SIGTERM);
    if (output_ != nullptr)
        ::pclose(output_);
    std::error_code ignored;
    if (!folder_.empty())
        std::filesystem::remove_all(folder_, ignored);
}

void TlsFileServer::addFile(const std::string& name, std::string_view contents, int status, bool chunked) const
{
    std::string response = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Type: text/plain\r\n";
    if (!chunked) {
        response += "Content-Length: " + std::to_string(contents.size()) + "\r\n\r\n" + std::string(contents);
    } else {
        char size[16];
        response += "Transfer-Encoding: chunked\r\n\r\n";
        for (std::size_t at = 0; at < contents.size(); at += 1000) {
            const auto chunk = contents.substr(at, 1000);
            std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
            response += size + std::string(chunk) + "\r\n";
        }
        response += "0\r\n\r\n";
    }
    addResponse(name, response);
}

void TlsFileServer::addRedirect(const std::string& name, std::string_view location) const
{
    addResponse(name, "HTTP/1.0 302 Found\r\nLocation: " + std::string(location) + "\r\nContent-Length: 0\r\n\r\n");
}

void TlsFileServer::addResponse(const std::string& name, std::string_view response) const
{
    std::ofstream(folder_ + "/" + name, std::ios::binary).write(response.data(), static_cast<std::streamsize>(response.size()));
}

std::string TlsFileServer::url(std::string_view name) const
{
    return "https://127.0.0.1:" + std::to_string(port_) + "/" + std::string(name);
}

SilentPort::SilentPort(bool listening)
{
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && (!listening || ::listen(socket_, 4) == 0)
        && ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

SilentPort::~SilentPort()
{
    if (socket_ >= 0)
        ::close(socket_);
}

std::string SilentPort::url(std::string_view scheme, std::string_view path) const
{
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

bool SilentPort::connected(std::chrono::milliseconds wait) const
{
    pollfd descriptor{socket_, POLLIN, 0};
    return ::poll(&descriptor, 1, static_cast<int>(wait.count())) == 1;
}

}  // namespace kestrio::test
