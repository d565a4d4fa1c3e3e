#include "platform/linux/desktop_url_opener.h"
#include "platform/linux/spawn_setup.h"

#include <cerrno>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace kestrio::platform {

DesktopUrlOpener::DesktopUrlOpener() : DesktopUrlOpener("xdg-open") {}

DesktopUrlOpener::DesktopUrlOpener(std::string program) : program_(std::move(program)) {}

void DesktopUrlOpener::open(const std::string& url)
{
    SpawnSetup setup;
    if (!setup.ready || program_.empty())
        return;
    bool arranged = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
                    posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0) == 0;
    // Whatever this process blocks or ignores is no business of the browser's, and a session of
    // its own keeps it alive when the terminal this process was started from goes away.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    arranged = arranged && posix_spawnattr_setsigmask(&setup.attributes, &none) == 0 &&
               posix_spawnattr_setsigdefault(&setup.attributes, &all) == 0 &&
               posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                               POSIX_SPAWN_SETSID) == 0;
    if (!arranged)
        return;

    char* const argv[] = {program_.data(), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = -1;
    // Without a slash in the name, this searches PATH; a program that is not there fails here.
    if (posix_spawnp(&pid, program_.c_str(), &setup.actions, &setup.attributes, argv, environ) != 0)
        return;
    try {
        std::thread([pid] {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::exception&) {
        // Without a thread the child stays a zombie until this process ends; still better than
        // blocking the caller until the browser is closed.
    }
}

}  // namespace kestrio::platform
