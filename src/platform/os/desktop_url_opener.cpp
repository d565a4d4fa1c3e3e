#include "platform/os/desktop_url_opener.h"
#include "platform/os/child_process_run.h"

#include <exception>

namespace kestrio::platform::os {

DesktopUrlOpener::DesktopUrlOpener() : DesktopUrlOpener("xdg-open") {}

DesktopUrlOpener::DesktopUrlOpener(std::string program) : program_(std::move(program)) {}

void DesktopUrlOpener::open(const std::string& url)
{
    try {
        // A session of its own keeps the browser alive when the terminal this process was
        // started from goes away; the caller is not kept waiting until it is closed.
        startDetachedProcess(program_, {url});
    } catch (const std::exception&) {
        // Only allocation can throw here; the page is not opened.
    }
}

}  // namespace kestrio::platform::os
