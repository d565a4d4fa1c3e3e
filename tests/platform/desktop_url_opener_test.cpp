#include "platform/linux/desktop_url_opener.h"
#include "platform/temporary_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrio::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::TemporaryDirectory;

class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment()
    {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Empty when the file cannot be read, as when the process a /proc file describes has just gone.
std::string readFile(const fs::path& path)
{
    try {
        std::ifstream file(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return {};
    }
}

// A stand-in for xdg-open: writes down how it was started, then exits. The record appears in
// one step, once everything is written.
class StandInOpener {
public:
    explicit StandInOpener(const fs::path& directory, const std::string& name = "xdg-open")
        : program_(directory / name), record_(directory / "record")
    {
        const std::string record = record_.string();
        std::ofstream script(program_);
        script << "#!/bin/sh\n"
                  "PATH=/usr/bin:/bin\n"
                  "printf '%s\\0' \"$#\" \"$@\" > '" << record << ".argv'\n"
                  // Read before any redirection, which the shell may apply to itself.
                  "stdio=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
                  "printf '%s\\n' \"$stdio\" > '" << record << ".stdio'\n"
                  // Read by the shell itself: while it starts a command, its own mask changes.
                  "while IFS= read -r line; do case $line in SigBlk:*|SigIgn:*) printf '%s\\n' \"$line\";; esac; "
                  "done < /proc/$$/status > '" << record << ".signals'\n"
                  "cat /proc/$$/stat > '" << record << ".stat'\n"
                  "mv '" << record << ".argv' '" << record << "'\n";
        script.close();
        fs::permissions(program_, fs::perms::owner_all);
    }

    const fs::path& program() const { return program_; }

    // The arguments after the program name, once the opener has run; nothing if it did not
    // within a generous bound.
    std::optional<std::vector<std::string>> waitForArguments() const
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        std::error_code error;
        while (!fs::exists(record_, error)) {
            if (std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            std::this_thread::sleep_for(2ms);
        }
        const std::string text = readFile(record_);
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
            fields.push_back(text.substr(start, end - start));
        if (fields.empty() || std::to_string(fields.size() - 1) != fields.front())
            return std::vector<std::string>{"malformed record: " + text};
        fields.erase(fields.begin());
        return fields;
    }

    std::string stdio() const { return readFile(record_.string() + ".stdio"); }
    std::string signals() const { return readFile(record_.string() + ".signals"); }
    std::string stat() const { return readFile(record_.string() + ".stat"); }

    void forget() const
    {
        std::error_code error;
        fs::remove(record_, error);
    }

private:
    fs::path program_;
    fs::path record_;
};

struct Child {
    pid_t pid;
    char state;
};

// The children of this process that exist now, zombies included.
std::vector<Child> children()
{
    std::vector<Child> found;
    const std::string self = std::to_string(getpid());
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = readFile(entry.path() / "stat");
        // "pid (name) state ppid ...": the name may itself hold spaces and parentheses.
        const auto nameEnd = stat.rfind(')');
        if (nameEnd == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(nameEnd + 1));
        char state = 0;
        std::string parent;
        rest >> state >> parent;
        if (parent == self)
            found.push_back({static_cast<pid_t>(std::stol(stat)), state});
    }
    return found;
}

// The children this process gains from some moment on; those it had before (left by other tests
// of the program) do not count.
class NewChildren {
public:
    NewChildren()
    {
        for (const auto& child : children())
            before_.push_back(child.pid);
    }

    std::vector<Child> now() const
    {
        std::vector<Child> found;
        for (const auto& child : children()) {
            if (std::find(before_.begin(), before_.end(), child.pid) == before_.end())
                found.push_back(child);
        }
        return found;
    }

    // Waits until every new child has been reaped. Returns those still there when the bound
    // runs out.
    std::vector<Child> waitUntilGone() const
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            auto remaining = now();
            if (remaining.empty() || std::chrono::steady_clock::now() > deadline)
                return remaining;
            std::this_thread::sleep_for(2ms);
        }
    }

private:
    std::vector<pid_t> before_;
};

std::string describe(const std::vector<Child>& remaining)
{
    std::string text;
    for (const auto& child : remaining)
        text += std::to_string(child.pid) + " in state " + child.state + "\n";
    return text;
}

TEST(DesktopUrlOpenerTest, TheUrlArrivesAsOneUntouchedArgumentAndTheOpenerIsReaped)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    StandInOpener standIn(directory.path());
    const std::string canary = (directory.path() / "shell-ran").string();
    const std::vector<std::string> urls{
        "https://example.com/search?q=kestrio&lang=ko#top",
        "https://example.com/a b/'single' \"double\" $(touch " + canary + ") `touch " + canary + "` ; touch " + canary +
            " | & < > * ? ~ \\ %20",
        "https://example.com/검색?q=키스트리오 · 안내‑서",
        "https://example.com/line\nbreak\ttab",
    };
    DesktopUrlOpener opener(standIn.program().string());
    for (const auto& url : urls) {
        standIn.forget();
        const NewChildren started;
        opener.open(url);
        auto arguments = standIn.waitForArguments();
        ASSERT_TRUE(arguments) << "the opener did not run for " << url;
        EXPECT_EQ(*arguments, std::vector<std::string>{url});
        const auto remaining = started.waitUntilGone();
        EXPECT_TRUE(remaining.empty()) << describe(remaining);
    }
    EXPECT_FALSE(fs::exists(canary));
}

constexpr unsigned long long standardSignals = (1ull << 31) - 1;

// A signal set from /proc/<pid>/status ("SigBlk:\t<hex>"), bit n - 1 standing for signal n.
unsigned long long signalBits(const std::string& status, const std::string& field)
{
    const auto at = status.find(field + ":\t");
    if (at == std::string::npos)
        return ~0ull;
    return std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16);
}

TEST(DesktopUrlOpenerTest, TheOpenerStartsDetachedFromThisProcess)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    StandInOpener standIn(directory.path());

    // What the host happens to block or ignore must not carry over to the browser.
    sigset_t blocked;
    sigset_t previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGTERM);
    const NewChildren started;
    pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
    struct sigaction ignore = {};
    struct sigaction previousAction = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &previousAction);

    DesktopUrlOpener(standIn.program().string()).open("https://example.com/");

    sigaction(SIGHUP, &previousAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

    ASSERT_TRUE(standIn.waitForArguments());
    EXPECT_EQ(standIn.stdio(), "/dev/null\n/dev/null\n/dev/null\n");
    // The C library's own real-time signals are its business; the standard ones are what counts.
    EXPECT_EQ(signalBits(standIn.signals(), "SigBlk") & standardSignals, 0u) << standIn.signals();
    EXPECT_EQ(signalBits(standIn.signals(), "SigIgn") & standardSignals, 0u) << standIn.signals();
    // A session of its own: the opener leads it.
    std::istringstream stat(standIn.stat().substr(standIn.stat().rfind(')') + 1));
    std::string state, parent, group, session;
    stat >> state >> parent >> group >> session;
    EXPECT_EQ(session, standIn.stat().substr(0, standIn.stat().find(' ')));
    const auto remaining = started.waitUntilGone();
    EXPECT_TRUE(remaining.empty()) << describe(remaining);
}

TEST(DesktopUrlOpenerTest, XdgOpenIsLookedUpOnPath)
{
    TemporaryDirectory withOpener;
    TemporaryDirectory withoutOpener;
    ASSERT_FALSE(withOpener.path().empty());
    ASSERT_FALSE(withoutOpener.path().empty());
    StandInOpener standIn(withOpener.path());
    const NewChildren started;
    {
        ScopedEnvironment path("PATH", withoutOpener.path().string() + ":" + withOpener.path().string());
        DesktopUrlOpener().open("https://example.com/found");
        auto arguments = standIn.waitForArguments();
        ASSERT_TRUE(arguments);
        EXPECT_EQ(*arguments, std::vector<std::string>{"https://example.com/found"});
    }
    const auto remaining = started.waitUntilGone();
    EXPECT_TRUE(remaining.empty()) << describe(remaining);

    ScopedEnvironment path("PATH", withoutOpener.path().string());
    DesktopUrlOpener().open("https://example.com/nowhere");
    EXPECT_TRUE(started.now().empty()) << describe(started.now());
}

TEST(DesktopUrlOpenerTest, AnOpenerThatCannotRunIsIgnored)
{
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const fs::path notExecutable = directory.path() / "plain-file";
    std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
    fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);

    const NewChildren started;
    DesktopUrlOpener((directory.path() / "missing").string()).open("https://example.com/");
    DesktopUrlOpener(notExecutable.string()).open("https://example.com/");
    DesktopUrlOpener("").open("https://example.com/");
    EXPECT_TRUE(started.now().empty()) << describe(started.now());
}

}  // namespace
}  // namespace kestrio::platform
