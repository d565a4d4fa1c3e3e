#include "platform/macos/xcrun_device_lister.h"

#include "platform/macos/device_list_parser.h"
#include "platform/os/child_process_run.h"
#include "platform/os/unique_fd.h"
#include "platform/usbmux/usbmux_device_lister.h"
#include "runtime/utf8.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/random.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace kestrio::platform::macos {
using phones::DeviceListResult;

namespace {

// devicectl prints a line or two of progress, or a paragraph on failure. A tool printing more
// than this is not saying anything useful; the rest is read and dropped so that it can finish.
constexpr std::size_t maxOutputBytes = 1024 * 1024;
// The report lists a handful of devices; a file far beyond that is not a report.
constexpr off_t maxReportBytes = 64 * 1024 * 1024;

const char* const failedText = "devicectl failed";

std::string errorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// A version 4 UUID in its usual upper-case form, e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
std::string randomUuid()
{
    std::array<std::uint8_t, 16> bytes{};
    if (getentropy(bytes.data(), bytes.size()) != 0) {
        std::random_device device;
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(device());
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string temporaryDirectoryOrDefault(const std::string& configured)
{
    if (!configured.empty())
        return configured;
    const char* fromEnvironment = std::getenv("TMPDIR");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : "/tmp";
}

std::string joined(const std::string& directory, const std::string& name)
{
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

struct Report {
    std::string text;
    int error = 0;
};

Report readReport(const std::string& path)
{
    Report report;
    os::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        report.error = errno;
        return report;
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) {
        report.error = errno;
        return report;
    }
    if (info.st_size > maxReportBytes) {
        report.error = EFBIG;
        return report;
    }
    report.text.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[16384];
    for (;;) {
        const ssize_t got = read(file.get(), buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            report.error = errno;
            report.text.clear();
            break;
        }
        if (report.text.size() + static_cast<std::size_t>(got) > static_cast<std::size_t>(maxReportBytes)) {
            report.error = EFBIG;
            report.text.clear();
            break;
        }
        report.text.append(buffer, static_cast<std::size_t>(got));
    }
    return report;
}

// What the tool said, when it can be shown: text, and all of it.
std::string failureText(const os::ChildProcessResult& run)
{
    if (run.output.empty() || run.outputCut || !runtime::isValidUtf8(run.output))
        return failedText;
    return run.output;
}

DeviceListResult failure(std::string text)
{
    DeviceListResult result;
    result.error = std::move(text);
    return result;
}

DeviceListResult listWith(const std::string& toolPath, const std::string& reportPath, std::chrono::milliseconds timeout)
{
    os::ChildProcessOptions options;
    options.timeout = timeout;
    options.capture = os::ChildProcessOptions::Capture::outputAndErrors;
    options.outputLimit = maxOutputBytes;
    options.searchPath = false;
    const os::ChildProcessResult tool =
        os::runChildProcess(toolPath, {"devicectl", "list", "devices", "--timeout", "10", "--json-output", reportPath}, options);
    using Outcome = os::ChildProcessResult::Outcome;
    switch (tool.outcome) {
    case Outcome::notStarted:
        return failure(tool.startError != 0 ? errorText(tool.startError) : failedText);
    case Outcome::timedOut:
        return failure("devicectl did not finish in time");
    case Outcome::broken:
    case Outcome::signalled:
        return failure(failureText(tool));
    case Outcome::exited:
        break;
    }
    if (tool.exitStatus != 0)
        return failure(failureText(tool));
    const Report report = readReport(reportPath);
    if (report.error != 0)
        return failure(errorText(report.error));
    DeviceListResult result;
    result.phones = parseDeviceList(report.text);
    return result;
}

}  // namespace

XcrunDeviceLister::XcrunDeviceLister(std::string toolPath, std::string temporaryDirectory,
                                     std::chrono::milliseconds timeout)
    : toolPath_(std::move(toolPath)), temporaryDirectory_(std::move(temporaryDirectory)), timeout_(timeout)
{
}

DeviceListResult XcrunDeviceLister::listPairedDevices()
{
    std::string reportPath;
    try {
        reportPath = joined(temporaryDirectoryOrDefault(temporaryDirectory_), "kestrio-devices-" + randomUuid() + ".json");
        DeviceListResult result = listWith(toolPath_, reportPath, timeout_);
        unlink(reportPath.c_str());
        return result;
    } catch (const std::exception&) {
        // Only allocation can throw here.
        if (!reportPath.empty())
            unlink(reportPath.c_str());
        return failure(failedText);
    }
}

std::unique_ptr<phones::DeviceLister> makeMacDeviceLister(const std::string& xcrunPath)
{
    struct stat info {};
    // A directory passes the access check for execution too; it is not a tool.
    if (stat(xcrunPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(xcrunPath.c_str(), X_OK) == 0)
        return std::make_unique<XcrunDeviceLister>(xcrunPath);
    return std::make_unique<usbmux::UsbmuxDeviceLister>();
}

}  // namespace kestrio::platform::macos
