#include "platform/gnome/mutter_clipboard.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrio::platform::gnome {
namespace {

constexpr const char* service = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
// Once the program's read was served, the text is in the pipe the compositor passes on; the
// program inserts it when it has read the pipe to its end, which it does at once unless the
// machine is very busy. Later input waits that long for it.
constexpr auto drainWait = std::chrono::seconds(1);
constexpr auto insertWait = std::chrono::milliseconds(40);
// A program answering a read of what it put on the clipboard may be slow when the machine is busy.
constexpr int readTimeoutMs = 2000;

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

// Follows the session's messages in the order the connection receives them, before they are
// dispatched: the call that presses the paste key is answered before the compositor hands that
// key to the focused program, so the transfers asked for after its answer are the paste's.
struct MutterClipboard::Arrivals {
    std::string sessionPath;
    std::uint32_t key = 0;  // the paste key, while its press is awaited

    std::mutex mutex;
    bool expecting = false;          // the press of the paste key is about to be sent
    std::uint32_t pressSerial = 0;   // the call that pressed it
    bool answered = false;           // the compositor answered that call
    std::set<std::uint32_t> reads;   // transfers asked for since (a few at most)

    static constexpr std::size_t mostReads = 16;

    static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer data)
    {
        auto& self = **static_cast<std::shared_ptr<Arrivals>*>(data);
        switch (g_dbus_message_get_message_type(message)) {
        case G_DBUS_MESSAGE_TYPE_METHOD_CALL:
            if (!incoming && g_strcmp0(g_dbus_message_get_member(message), "NotifyKeyboardKeysym") == 0 &&
                !(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) &&
                g_strcmp0(g_dbus_message_get_path(message), self.sessionPath.c_str()) == 0) {
                std::lock_guard lock(self.mutex);
                if (self.expecting) {
                    self.expecting = false;
                    self.pressSerial = g_dbus_message_get_serial(message);
                }
            }
            break;
        case G_DBUS_MESSAGE_TYPE_METHOD_RETURN:
        case G_DBUS_MESSAGE_TYPE_ERROR:
            if (incoming) {
                std::lock_guard lock(self.mutex);
                if (self.pressSerial != 0 && g_dbus_message_get_reply_serial(message) == self.pressSerial)
                    self.answered = true;
            }
            break;
        case G_DBUS_MESSAGE_TYPE_SIGNAL:
            if (incoming && g_strcmp0(g_dbus_message_get_member(message), "SelectionTransfer") == 0 &&
                g_strcmp0(g_dbus_message_get_interface(message), sessionInterface) == 0 &&
                g_strcmp0(g_dbus_message_get_path(message), self.sessionPath.c_str()) == 0) {
                GVariant* body = g_dbus_message_get_body(message);
                if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(su)"))) {
                    guint32 serial = 0;
                    g_variant_get_child(body, 1, "u", &serial);
                    std::lock_guard lock(self.mutex);
                    if (self.answered && self.reads.size() < mostReads)
                        self.reads.insert(serial);
                }
            }
            break;
        default:
            break;
        }
        return message;
    }

    // Until the next paste: nothing awaited.
    void reset()
    {
        std::lock_guard lock(mutex);
        expecting = answered = false;
        pressSerial = 0;
        reads.clear();
    }
};

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
    arrivals_ = std::make_shared<Arrivals>();
    arrivals_->sessionPath = sessionPath_;
    filter_ = g_dbus_connection_add_filter(connection_, &Arrivals::filter, new std::shared_ptr<Arrivals>(arrivals_),
                                           [](gpointer data) { delete static_cast<std::shared_ptr<Arrivals>*>(data); });
}

MutterClipboard::~MutterClipboard()
{
    g_dbus_connection_remove_filter(connection_, filter_);
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
    // Mutter sends the list inside a tuple.
    GVariant* list = g_variant_lookup_value(options, "mime-types", nullptr);
    if (list && g_variant_is_of_type(list, G_VARIANT_TYPE("(as)"))) {
        GVariant* inner = g_variant_get_child_value(list, 0);
        g_variant_unref(list);
        list = inner;
    }
    if (list && !g_variant_is_of_type(list, G_VARIANT_TYPE("as"))) {
        g_variant_unref(list);
        list = nullptr;
    }
    if (list) {
        GVariantIter iter;
        g_variant_iter_init(&iter, list);
        const char* type = nullptr;
        while (g_variant_iter_next(&iter, "&s", &type))
            types.emplace_back(type);
        g_variant_unref(list);
    }
    std::lock_guard lock(mutex_);
    ownerReported_ = true;
    sessionOwns_ = sessionIsOwner;
    if (!sessionIsOwner)
        foreignTypes_ = std::move(types);
}

void MutterClipboard::transfer(const std::string& mimeType, std::uint32_t serial)
{
    std::string data;
    bool known = false;
    bool forPaste = false;
    {
        std::lock_guard lock(mutex_);
        bool allowed = !pasting_;
        if (pasting_) {
            std::lock_guard arrived(arrivals_->mutex);
            allowed = forPaste = arrivals_->reads.count(serial) != 0;
        }
        if (auto found = offered_.find(mimeType); allowed && found != offered_.end()) {
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
                // A paste is read once the compositor has taken the last byte from the pipe.
                const auto deadline = std::chrono::steady_clock::now() + drainWait;
                for (int left = 0; forPaste && written && ::ioctl(fd, FIONREAD, &left) == 0 && left > 0 &&
                                   std::chrono::steady_clock::now() < deadline;)
                    ::usleep(2000);
                ::close(fd);
            }
            g_variant_unref(reply);
        }
        if (descriptors)
            g_object_unref(descriptors);
    }
    g_dbus_connection_call(connection_, service, sessionPath_.c_str(), sessionInterface, "SelectionWriteDone",
                           g_variant_new("(ub)", serial, written), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    if (forPaste && written) {
        {
            std::lock_guard lock(mutex_);
            pasteRead_ = true;
        }
        changed_.notify_all();
    }
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
        if (sessionOwns_)
            return offeringRestored_ ? offered_ : Content{};
        // The compositor reports owners only from the clipboard's first change after the session
        // enabled it: until then, whoever owns it is asked for text.
        foreign = ownerReported_ ? foreignTypes_ : std::vector<std::string>{"text/plain;charset=utf-8", "UTF8_STRING"};
    }
    Content content = readForeign(foreign);
    // Text that came under one of its UTF-8 names is offered again under all of them, whichever a
    // program asks for (a read that failed on a busy machine leaves a name out). Plain text/plain
    // is not spread: its owner may have written it in another charset (GTK escapes what is not
    // ASCII there), which would then be offered as UTF-8.
    for (const char* type : {"text/plain;charset=utf-8", "UTF8_STRING"}) {
        if (const auto found = content.find(type); found != content.end()) {
            for (auto& [name, text] : textContent(found->second))
                content.try_emplace(name, std::move(text));
            break;
        }
    }
    return content;
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

bool MutterClipboard::pasteText(const std::string& text, std::uint32_t modifier, std::uint32_t key)
{
    if (!enabled_)
        return false;
    Content before = currentContent();
    {
        std::lock_guard lock(mutex_);
        pasting_ = true;
        pasteRead_ = false;
    }
    arrivals_->reset();
    if (!offer(textContent(text), false)) {
        std::lock_guard lock(mutex_);
        pasting_ = false;
        return false;
    }
    typeShortcut(modifier, key);
    bool read = false;
    {
        std::unique_lock lock(mutex_);
        read = changed_.wait_for(lock, readWait, [this] { return pasteRead_; });
        pasting_ = false;
    }
    arrivals_->reset();
    if (read)
        std::this_thread::sleep_for(insertWait);
    if (!before.empty())
        offer(std::move(before), true);
    return true;
}

void MutterClipboard::typeShortcut(std::uint32_t modifier, std::uint32_t key)
{
    keysym(modifier, true);
    {
        std::lock_guard lock(arrivals_->mutex);
        arrivals_->expecting = true;
    }
    // The one call answered: what the program asks for after the answer is the paste's.
    GVariant* reply = g_dbus_connection_call_sync(connection_, service, sessionPath_.c_str(), sessionInterface, "NotifyKeyboardKeysym",
                                                  g_variant_new("(ub)", key, TRUE), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                                                  nullptr);
    if (reply)
        g_variant_unref(reply);
    keysym(key, false);
    keysym(modifier, false);
}

void MutterClipboard::keysym(std::uint32_t keysym, bool pressed)
{
    g_dbus_connection_call(connection_, service, sessionPath_.c_str(), sessionInterface, "NotifyKeyboardKeysym",
                           g_variant_new("(ub)", keysym, pressed), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
}

MutterClipboard::Content MutterClipboard::readForeign(const std::vector<std::string>& mimeTypes)
{
    Content content;
    std::size_t total = 0;
    for (const auto& type : mimeTypes) {
        std::string data = readSelection(type, largestRestored - total);
        if (data.empty())
            continue;  // not given: not offered again
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
