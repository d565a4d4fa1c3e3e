#include "updates/tls_file_server_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

extern char** environ;

namespace kestrio::test {
namespace {

// Starts `arguments` in `folder` with stdin and stderr on /dev/null and stdout on `output` (or
// /dev/null when it is -1). Returns the child's pid, or -1.
pid_t spawnIn(const std::string& folder, std::vector<std::string> arguments, int output)
{
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (output >= 0)
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TlsFileServer::TlsFileServer()
{
    char pattern[] = "/tmp/kestrio-tls-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        failure_ = "no scratch folder";
        return;
    }
    folder_ = pattern;
    if (!start() && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitFor(pid_);
        pid_ = -1;
    }
}

TlsFileServer::~TlsFileServer()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        waitFor(pid_);
    }
    if (output_ >= 0)
        ::close(output_);
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool TlsFileServer::start()
{
    const pid_t maker = spawnIn(folder_,
                                {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                 "-nodes", "-keyout", "key.pem", "-out", "certificate.pem", "-days", "2", "-subj",
                                 "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
                                -1);
    if (maker < 0 || waitFor(maker) != 0) {
        failure_ = "openssl could not make a certificate";
        return false;
    }

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        failure_ = "no pipe";
        return false;
    }
    pid_ = spawnIn(folder_, {"openssl", "s_server", "-HTTP", "-accept", "127.0.0.1:0", "-cert", "certificate.pem", "-key", "key.pem"},
                   pipe[1]);
    ::close(pipe[1]);
    output_ = pipe[0];
    if (pid_ < 0) {
        failure_ = "openssl s_server would not start";
        return false;
    }

    // The server names the port it took once it listens: "ACCEPT 127.0.0.1:<port>".
    std::string line;
    for (;;) {
        char c = 0;
        const auto received = ::read(output_, &c, 1);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0) {
            failure_ = "openssl s_server ended before listening";
            return false;
        }
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.rfind("ACCEPT ", 0) == 0) {
            port_ = static_cast<unsigned>(std::strtoul(line.substr(line.rfind(':') + 1).c_str(), nullptr, 10));
            if (port_ == 0)
                failure_ = "openssl s_server named no port";
            return port_ != 0;
        }
        line.clear();
    }
}

void TlsFileServer::addFile(const std::string& name, std::string_view contents) const
{
    addResponse(name, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(contents.size())
                          + "\r\n\r\n" + std::string(contents));
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

}  // namespace kestrio::test
