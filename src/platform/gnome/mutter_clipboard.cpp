#include "platform/gnome/mutter_clipboard.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kestrio::platform::gnome {
namespace {

constexpr const char* service = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr auto pasteWait = std::chrono::seconds(1);
constexpr auto pasteQuiet = std::chrono::milliseconds(150);
constexpr int readTimeoutMs = 500;

GVariant* mimeTypeOptions(const std::vector<std::string>& types)
{
    GVariantBuilder list;
    g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
    for (const auto& type : types)
        g_variant_builder_add(&list, "s", type.c_str());
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "mime-types", g_variant_builder_end(&list));
    return g_variant_builder_end(&options);
}

// A descriptor that the call handed over in its fd list.
int takeDescriptor(GVariant* reply, GUnixFDList* descriptors)
{
    gint32 index = -1;
    g_variant_get(reply, "(h)", &index);
    if (!descriptors || index < 0 || index >= g_unix_fd_list_get_length(descriptors))
        return -1;
    return g_unix_fd_list_get(descriptors, index, nullptr);
}

}  // namespace

MutterClipboard::MutterClipboard(GDBusConnection* connection, std::string sessionPath)
    : connection_(connection), sessionPath_(std::move(sessionPath)), context_(g_main_context_new()),
      loop_(g_main_loop_new(context_, FALSE))
{
    g_object_ref(connection_);
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
    lock.unlock();
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection_, service, sessionPath_.c_str(), sessionInterface, "EnableClipboard",
                                                  g_variant_new("(@a{sv})", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    enabled_ = reply != nullptr;
    if (reply)
        g_variant_unref(reply);
    if (error)
        g_error_free(error);
}

MutterClipboard::~MutterClipboard()
{
    if (enabled_)
        g_dbus_connection_call(connection_, service, sessionPath_.c_str(), sessionInterface, "DisableClipboard", nullptr, nullptr,
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    g_main_loop_quit(loop_);
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    g_object_unref(connection_);
}

void MutterClipboard::run()
{
    g_main_context_push_thread_default(context_);
    const auto subscribe = [this](const char* signal, GDBusSignalCallback callback) {
        return g_dbus_connection_signal_subscribe(connection_, service, sessionInterface, signal, sessionPath_.c_str(), nullptr,
                                                  G_DBUS_SIGNAL_FLAGS_NONE, callback, this, nullptr);
    };
    const guint owner = subscribe("SelectionOwnerChanged", [](GDBusConnection*, const char*, const char*, const char*, const char*,
                                                              GVariant* parameters, gpointer self) {
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a{sv})"))) {
            GVariant* options = g_variant_get_child_value(parameters, 0);
            static_cast<MutterClipboard*>(self)->ownerChanged(options);
            g_variant_unref(options);
        }
    });
    const guint transfer = subscribe("SelectionTransfer", [](GDBusConnection*, const char*, const char*, const char*, const char*,
                                                             GVariant* parameters, gpointer self) {
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(su)"))) {
            const char* mimeType = nullptr;
            guint32 serial = 0;
            g_variant_get(parameters, "(&su)", &mimeType, &serial);
            static_cast<MutterClipboard*>(self)->transfer(mimeType, serial);
        }
    });
    {
        std::lock_guard lock(mutex_);
        started_ = true;
    }
    changed_.notify_all();
    g_main_loop_run(loop_);
    g_dbus_connection_signal_unsubscribe(connection_, owner);
    g_dbus_connection_signal_unsubscribe(connection_, transfer);
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
}

void MutterClipboard::ownerChanged(GVariant* options)
{
    gboolean sessionIsOwner = FALSE;
    g_variant_lookup(options, "session-is-owner", "b", &sessionIsOwner);
    std::vector<std::string> types;
    GVariant* list = g_variant_lookup_value(options, "mime-types", G_VARIANT_TYPE("as"));
    if (list) {
        GVariantIter iter;
        g_variant_iter_init(&iter, list);
        const char* type = nullptr;
        while (g_variant_iter_next(&iter, "&s", &type))
            types.emplace_back(type);
        g_variant_unref(list);
    }
    std::lock_guard lock(mutex_);
    sessionOwns_ = sessionIsOwner;
    if (!sessionIsOwner)
        foreignTypes_ = std::move(types);
}

void MutterClipboard::transfer(const std::string& mimeType, std::uint32_t serial)
{
    std::string data;
    bool known = false;
    {
        std::lock_guard lock(mutex_);
        if (auto found = offered_.find(mimeType); found != offered_.end()) {
            data = found->second;
            known = true;
        }
    }
    bool written = false;
    if (known) {
        GUnixFDList* descriptors = nullptr;
        GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(connection_, service, sessionPath_.c_str(), sessionInterface,
                                                                        "SelectionWrite", g_variant_new("(u)", serial),
                                                                        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                                                                        &descriptors, nullptr, nullptr);
        if (reply) {
            const int fd = takeDescriptor(reply, descriptors);
            if (fd >= 0) {
                // The compositor reads as it goes; a blocking write finishes once it has all.
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                std::size_t done = 0;
                while (done < data.size()) {
                    const ssize_t count = ::write(fd, data.data() + done, data.size() - done);
                    if (count < 0 && errno == EINTR)
                        continue;
                    if (count <= 0)
                        break;
                    done += static_cast<std::size_t>(count);
                }
                written = done == data.size();
                ::close(fd);
            }
            g_variant_unref(reply);
        }
        if (descriptors)
            g_object_unref(descriptors);
    }
    g_dbus_connection_call(connection_, service, sessionPath_.c_str(), sessionInterface, "SelectionWriteDone",
                           g_variant_new("(ub)", serial, written), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    {
        std::lock_guard lock(mutex_);
        ++served_;
    }
    changed_.notify_all();
}

MutterClipboard::Content MutterClipboard::textContent(const std::string& text)
{
    Content content;
    for (const char* type : {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT", "STRING"})
        content[type] = text;
    return content;
}

MutterClipboard::Content MutterClipboard::currentContent()
{
    std::vector<std::string> foreign;
    {
        std::lock_guard lock(mutex_);
        // While the session still offers what it put back after the last paste, that is it.
        if (sessionOwns_ || foreignTypes_.empty())
            return offeringRestored_ ? offered_ : Content{};
        foreign = foreignTypes_;
    }
    return readForeign(foreign);
}

bool MutterClipboard::offer(Content content, bool restored)
{
    std::vector<std::string> types;
    for (const auto& entry : content)
        types.push_back(entry.first);
    {
        std::lock_guard lock(mutex_);
        offered_ = std::move(content);
        offeringRestored_ = restored;
    }
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection_, service, sessionPath_.c_str(), sessionInterface, "SetSelection",
                                                  g_variant_new("(@a{sv})", mimeTypeOptions(types)), nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                  -1, nullptr, &error);
    if (error)
        g_error_free(error);
    if (!reply)
        return false;
    g_variant_unref(reply);
    return true;
}

std::uint64_t MutterClipboard::transfersServed()
{
    std::lock_guard lock(mutex_);
    return served_;
}

void MutterClipboard::waitForTransferAfter(std::uint64_t served)
{
    // Clients may read a new clipboard as soon as it is offered, before the paste: the paste's
    // own read is among the transfers that follow, and the last one before they stop.
    const auto deadline = std::chrono::steady_clock::now() + pasteWait;
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return served_ > served; });
    for (auto seen = served_; std::chrono::steady_clock::now() < deadline; seen = served_) {
        if (!changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + pasteQuiet),
                                 [&] { return served_ != seen; }))
            break;
    }
}

MutterClipboard::Content MutterClipboard::readForeign(const std::vector<std::string>& mimeTypes)
{
    Content content;
    std::size_t total = 0;
    for (const auto& type : mimeTypes) {
        std::string data = readSelection(type, largestRestored - total);
        total += data.size();
        if (total >= largestRestored)
            return {};  // too large to keep: the clipboard is not restored
        content[type] = std::move(data);
    }
    return content;
}

std::string MutterClipboard::readSelection(const std::string& mimeType, std::size_t limit)
{
    GUnixFDList* descriptors = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(connection_, service, sessionPath_.c_str(), sessionInterface,
                                                                    "SelectionRead", g_variant_new("(s)", mimeType.c_str()),
                                                                    G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                                                                    &descriptors, nullptr, nullptr);
    std::string data;
    if (!reply) {
        if (descriptors)
            g_object_unref(descriptors);
        return data;
    }
    const int fd = takeDescriptor(reply, descriptors);
    g_variant_unref(reply);
    if (descriptors)
        g_object_unref(descriptors);
    if (fd < 0)
        return data;
    char buffer[65536];
    while (data.size() <= limit) {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, readTimeoutMs) <= 0)
            break;
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return data;
}

}  // namespace kestrio::platform::gnome
