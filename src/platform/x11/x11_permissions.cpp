#include "platform/x11/x11_permissions.h"
#include "platform/x11/x11_connect.h"
#include "platform/x11/xcb_reply.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <optional>
#include <pthread.h>
#include <thread>

namespace kestrio::platform::x11 {

enum class X11PermissionFacility::Question {
    xtest,
    rootReadable,
};

struct X11PermissionFacility::Probe {
    std::mutex mutex;
    std::condition_variable answered;
    bool finished = false;
    bool answer = false;

    void finish(bool value)
    {
        {
            std::lock_guard lock(mutex);
            finished = true;
            answer = value;
        }
        answered.notify_all();
    }

    // The answer, or nothing when none came before `deadline`.
    std::optional<bool> waitUntil(std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock lock(mutex);
        if (!answered.wait_until(lock, deadline, [this] { return finished; }))
            return std::nullopt;
        return answer;
    }

    bool isFinished()
    {
        std::lock_guard lock(mutex);
        return finished;
    }
};

namespace {

// How the talking threads show in a thread listing.
constexpr const char* probeThreadName = "x11-permissions";

bool offersXtest(xcb_connection_t* connection)
{
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_test_id);
    if (!extension || !extension->present)
        return false;
    xcb_generic_error_t* error = nullptr;
    auto version = own(xcb_test_get_version_reply(
        connection, xcb_test_get_version(connection, XCB_TEST_MAJOR_VERSION, XCB_TEST_MINOR_VERSION), &error));
    auto ownedError = own(error);
    return version && !ownedError;
}

bool rootReadable(xcb_connection_t* connection, xcb_window_t root)
{
    xcb_generic_error_t* error = nullptr;
    auto image = own(xcb_get_image_reply(
        connection, xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, 1, 1, ~0u), &error));
    auto ownedError = own(error);
    return image && !ownedError;
}

}  // namespace

X11PermissionFacility::X11PermissionFacility(std::string displayName, std::chrono::milliseconds answerTimeout)
    : displayName_(std::move(displayName)), answerTimeout_(answerTimeout)
{
}

// A probe still waiting on a frozen server owns everything it uses and finishes on its own once
// the server answers or goes away.
X11PermissionFacility::~X11PermissionFacility() = default;

bool X11PermissionFacility::inputTrusted()
{
    return ask(Question::xtest);
}

bool X11PermissionFacility::captureAllowed()
{
    return ask(Question::rootReadable);
}

bool X11PermissionFacility::ask(Question question)
{
    const auto deadline = std::chrono::steady_clock::now() + answerTimeout_;
    try {
        for (;;) {
            std::shared_ptr<Probe> pending;
            std::shared_ptr<Probe> probe;
            {
                std::lock_guard lock(mutex_);
                if (lastProbe_ && !lastProbe_->isFinished()) {
                    pending = lastProbe_;
                } else {
                    probe = std::make_shared<Probe>();
                    std::thread([probe, displayName = displayName_, question] {
                        pthread_setname_np(pthread_self(), probeThreadName);
                        // Writing to a server that has just gone away raises SIGPIPE, which
                        // would end the whole process; on this thread it only fails the write.
                        sigset_t pipe;
                        sigemptyset(&pipe);
                        sigaddset(&pipe, SIGPIPE);
                        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
                        probe->finish(askServer(displayName, question));
                    }).detach();
                    lastProbe_ = probe;
                }
            }
            if (probe)
                return probe->waitUntil(deadline).value_or(false);
            // An earlier question is still out; ask afresh once it has been answered.
            if (!pending->waitUntil(deadline))
                return false;
        }
    } catch (const std::exception&) {
        // No thread or no memory for one: nothing can be found out.
        return false;
    }
}

bool X11PermissionFacility::askServer(const std::string& displayName, Question question)
{
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        connectToDisplay(displayName, &screenNumber), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        return false;
    // A display name with a screen the server lacks names nothing that could be used.
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return false;
    switch (question) {
    case Question::xtest:
        return offersXtest(connection.get());
    case Question::rootReadable:
        return rootReadable(connection.get(), screens.data->root);
    }
    return false;
}

}  // namespace kestrio::platform::x11
