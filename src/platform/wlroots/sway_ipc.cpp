#include "platform/wlroots/sway_ipc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrio::platform::wlroots {
namespace {

constexpr char magic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::uint32_t runCommand = 0;
constexpr std::uint32_t getOutputs = 3;
constexpr std::uint32_t getVersion = 7;
// Far beyond any answer about a desktop's outputs: a bound on what a broken peer can make us hold.
constexpr std::uint32_t largestReply = 16 * 1024 * 1024;

void writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t count = ::send(fd, data, size, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw SwayIpcError("the compositor's IPC socket closed");
        data += count;
        size -= static_cast<std::size_t>(count);
    }
}

void readAll(int fd, char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t count = ::recv(fd, data, size, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw SwayIpcError("the compositor's IPC socket closed");
        data += count;
        size -= static_cast<std::size_t>(count);
    }
}

int number(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_number() ? found->get<int>() : 0;
}

std::string text(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

std::string SwayIpc::socketPath(std::string path)
{
    const char* named = std::getenv("SWAYSOCK");
    return !path.empty() ? path : named ? named : "";
}

SwayIpc::SwayIpc(std::string path)
{
    path = socketPath(std::move(path));
    if (path.empty())
        throw SwayIpcError("SWAYSOCK is not set");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        throw SwayIpcError("the compositor's IPC socket path is too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string why = std::strerror(errno);
        if (fd_ >= 0)
            ::close(fd_);
        throw SwayIpcError("cannot reach the compositor's IPC socket " + path + ": " + why);
    }
    // An answer that does not come within a few seconds is not coming.
    timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

SwayIpc::~SwayIpc()
{
    if (fd_ >= 0)
        ::close(fd_);
}

nlohmann::json SwayIpc::request(std::uint32_t type, const std::string& payload)
{
    std::string message(magic, sizeof magic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    message.append(reinterpret_cast<const char*>(&length), 4);
    message.append(reinterpret_cast<const char*>(&type), 4);
    message += payload;
    writeAll(fd_, message.data(), message.size());
    char header[sizeof magic + 8];
    readAll(fd_, header, sizeof header);
    if (std::memcmp(header, magic, sizeof magic) != 0)
        throw SwayIpcError("the compositor's IPC answer is not i3-ipc");
    std::uint32_t replyLength = 0;
    std::uint32_t replyType = 0;
    std::memcpy(&replyLength, header + sizeof magic, 4);
    std::memcpy(&replyType, header + sizeof magic + 4, 4);
    if (replyLength > largestReply)
        throw SwayIpcError("the compositor's IPC answer is too large");
    std::string reply(replyLength, '\0');
    readAll(fd_, reply.data(), reply.size());
    if (replyType != type)
        throw SwayIpcError("the compositor answered another question");
    auto parsed = nlohmann::json::parse(reply, nullptr, false);
    if (parsed.is_discarded())
        throw SwayIpcError("the compositor's IPC answer is not JSON");
    return parsed;
}

std::string SwayIpc::command(const std::string& text)
{
    const auto results = request(runCommand, text);
    if (!results.is_array())
        return "no answer to the command";
    for (const auto& result : results) {
        if (!result.is_object() || !result.value("success", false))
            return result.is_object() ? result.value("error", std::string("failed")) : "failed";
    }
    return {};
}

std::vector<SwayOutput> SwayIpc::outputs()
{
    const auto listed = request(getOutputs, {});
    std::vector<SwayOutput> result;
    if (!listed.is_array())
        return result;
    for (const auto& entry : listed) {
        if (!entry.is_object())
            continue;
        SwayOutput output;
        output.name = text(entry, "name");
        output.make = text(entry, "make");
        output.model = text(entry, "model");
        output.serial = text(entry, "serial");
        output.active = entry.value("active", false);
        if (const auto rect = entry.find("rect"); rect != entry.end() && rect->is_object()) {
            output.x = number(*rect, "x");
            output.y = number(*rect, "y");
            output.width = number(*rect, "width");
            output.height = number(*rect, "height");
        }
        if (const auto mode = entry.find("current_mode"); mode != entry.end() && mode->is_object()) {
            output.modeWidth = number(*mode, "width");
            output.modeHeight = number(*mode, "height");
        }
        if (const auto scale = entry.find("scale"); scale != entry.end() && scale->is_number())
            output.scale = scale->get<double>();
        result.push_back(std::move(output));
    }
    return result;
}

std::pair<int, int> SwayIpc::version()
{
    const auto answer = request(getVersion, {});
    return answer.is_object() ? std::pair{number(answer, "major"), number(answer, "minor")} : std::pair{0, 0};
}

}  // namespace kestrio::platform::wlroots
