#include "platform/gnome/mutter_bus.h"
#include "platform/gnome/mutter_clipboard.h"

#include <gio/gio.h>

#include <chrono>
#include <utility>

namespace kestrio::platform::gnome {
namespace {

constexpr const char* screenCastService = "org.gnome.Mutter.ScreenCast";
constexpr const char* remoteDesktopService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* displayConfigService = "org.gnome.Mutter.DisplayConfig";
constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr int callTimeoutMs = 5000;
constexpr auto streamWait = std::chrono::seconds(5);

struct VariantDeleter {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using Variant = std::unique_ptr<GVariant, VariantDeleter>;

Variant call(GDBusConnection* connection, const char* service, const std::string& path, const char* interface,
             const char* method, GVariant* arguments, const char* replyType)
{
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection, service, path.c_str(), interface, method, arguments,
                                                  replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                  callTimeoutMs, nullptr, &error);
    if (!reply) {
        std::string text = std::string(interface) + "." + method + ": " + (error ? error->message : "no answer");
        if (error)
            g_error_free(error);
        throw MutterError(text);
    }
    return Variant(reply);
}

std::string objectPath(const Variant& reply)
{
    const char* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path;
}

GVariant* options(std::initializer_list<std::pair<const char*, GVariant*>> entries)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    for (const auto& [key, value] : entries)
        g_variant_builder_add(&builder, "{sv}", key, value);
    return g_variant_builder_end(&builder);
}

// Waits for the stream's PipeWire node, which the compositor announces by a signal once the
// session has started. Signals are dispatched on a main context of this call's own.
class StreamAnnouncement {
public:
    StreamAnnouncement(GDBusConnection* connection, const std::string& streamPath)
        : connection_(connection), context_(g_main_context_new())
    {
        g_main_context_push_thread_default(context_);
        subscription_ = g_dbus_connection_signal_subscribe(
            connection, screenCastService, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded", streamPath.c_str(),
            nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer self) {
                if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(u)")))
                    g_variant_get(parameters, "(u)", &static_cast<StreamAnnouncement*>(self)->node_);
            },
            this, nullptr);
    }
    ~StreamAnnouncement()
    {
        g_dbus_connection_signal_unsubscribe(connection_, subscription_);
        // Lets the subscription's pending dispatches run out before the context goes.
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    // The node, or 0 when none came within the wait.
    std::uint32_t wait()
    {
        const auto deadline = std::chrono::steady_clock::now() + streamWait;
        GSource* timeout = g_timeout_source_new(50);
        g_source_set_callback(timeout, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
        g_source_attach(timeout, context_);
        while (node_ == 0 && std::chrono::steady_clock::now() < deadline)
            g_main_context_iteration(context_, TRUE);
        g_source_destroy(timeout);
        g_source_unref(timeout);
        return node_;
    }

private:
    GDBusConnection* connection_;
    GMainContext* context_;
    guint subscription_ = 0;
    std::uint32_t node_ = 0;
};

}  // namespace

std::shared_ptr<MutterBus> MutterBus::connect()
{
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    GDBusConnection* connection = nullptr;
    if (address) {
        // A connection of our own rather than the process's shared one: the compositor's sessions
        // belong to the connection that made them, and end with it.
        connection = g_dbus_connection_new_for_address_sync(
            address, static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                       G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(address);
    }
    if (!connection) {
        std::string text = std::string("the session bus cannot be reached: ") + (error ? error->message : "no address");
        if (error)
            g_error_free(error);
        throw MutterError(text);
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    return std::shared_ptr<MutterBus>(new MutterBus(connection));
}

MutterBus::~MutterBus()
{
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
}

std::vector<std::string> MutterBus::missingServices()
{
    std::vector<std::string> missing;
    for (const char* service : {displayConfigService, screenCastService, remoteDesktopService}) {
        bool owned = false;
        try {
            auto reply = call(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameHasOwner", g_variant_new("(s)", service), "(b)");
            gboolean has = FALSE;
            g_variant_get(reply.get(), "(b)", &has);
            owned = has;
        } catch (const MutterError&) {
        }
        if (!owned)
            missing.emplace_back(service);
    }
    return missing;
}

std::vector<MutterMonitor> MutterBus::monitors()
{
    auto state = call(connection_, displayConfigService, "/org/gnome/Mutter/DisplayConfig", displayConfigService,
                      "GetCurrentState", nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})");
    guint32 serial = 0;
    GVariant* monitorList = nullptr;
    GVariant* logicalList = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(state.get(), "(u@a((ssss)a(siiddada{sv})a{sv})@a(iiduba(ssss)a{sv})@a{sv})", &serial, &monitorList,
                  &logicalList, &properties);
    Variant ownMonitors(monitorList), ownLogical(logicalList), ownProperties(properties);

    // Layout mode 1 places logical monitors in logical pixels (a mode's size over its scale);
    // mode 2, the default, in physical pixels.
    guint32 layoutMode = 2;
    g_variant_lookup(properties, "layout-mode", "u", &layoutMode);

    std::vector<MutterMonitor> result;
    GVariantIter monitorIter;
    g_variant_iter_init(&monitorIter, monitorList);
    GVariant* monitor = nullptr;
    while ((monitor = g_variant_iter_next_value(&monitorIter))) {
        Variant ownMonitor(monitor);
        MutterMonitor entry;
        const char *connector, *vendor, *product, *serialText;
        GVariant* modes = nullptr;
        GVariant* monitorProperties = nullptr;
        g_variant_get(monitor, "((&s&s&s&s)@a(siiddada{sv})@a{sv})", &connector, &vendor, &product, &serialText, &modes,
                      &monitorProperties);
        Variant ownModes(modes), ownMonitorProperties(monitorProperties);
        entry.connector = connector;
        entry.vendor = vendor;
        entry.product = product;
        entry.serial = serialText;
        const char* displayName = nullptr;
        if (g_variant_lookup(monitorProperties, "display-name", "&s", &displayName))
            entry.displayName = displayName;
        GVariantIter modeIter;
        g_variant_iter_init(&modeIter, modes);
        GVariant* mode = nullptr;
        while ((mode = g_variant_iter_next_value(&modeIter))) {
            Variant ownMode(mode);
            gint32 width = 0, height = 0;
            GVariant* modeProperties = nullptr;
            g_variant_get(mode, "(&siidd@ad@a{sv})", nullptr, &width, &height, nullptr, nullptr, nullptr, &modeProperties);
            Variant ownModeProperties(modeProperties);
            gboolean current = FALSE;
            if (g_variant_lookup(modeProperties, "is-current", "b", &current) && current) {
                entry.width = width;
                entry.height = height;
            }
        }
        result.push_back(std::move(entry));
    }

    GVariantIter logicalIter;
    g_variant_iter_init(&logicalIter, logicalList);
    GVariant* logical = nullptr;
    while ((logical = g_variant_iter_next_value(&logicalIter))) {
        Variant ownLogicalMonitor(logical);
        gint32 x = 0, y = 0;
        gdouble scale = 1;
        guint32 transform = 0;
        GVariant* members = nullptr;
        g_variant_get(logical, "(iidub@a(ssss)@a{sv})", &x, &y, &scale, &transform, nullptr, &members, nullptr);
        Variant ownMembers(members);
        GVariantIter memberIter;
        g_variant_iter_init(&memberIter, members);
        const char* connector = nullptr;
        while (g_variant_iter_next(&memberIter, "(&s&s&s&s)", &connector, nullptr, nullptr, nullptr)) {
            for (auto& entry : result) {
                if (entry.connector != connector)
                    continue;
                entry.active = true;
                entry.x = x;
                entry.y = y;
                entry.scale = scale > 0 ? scale : 1;
                // Transforms 1, 3, 5 and 7 turn the monitor a quarter.
                const bool turned = transform % 2 == 1;
                double width = turned ? entry.height : entry.width;
                double height = turned ? entry.width : entry.height;
                if (layoutMode == 1) {
                    width /= entry.scale;
                    height /= entry.scale;
                }
                entry.logicalWidth = static_cast<int>(width + 0.5);
                entry.logicalHeight = static_cast<int>(height + 0.5);
            }
        }
    }
    return result;
}

std::unique_ptr<MutterSession> MutterBus::startSession(const Recording& what)
{
    auto remote = call(connection_, remoteDesktopService, "/org/gnome/Mutter/RemoteDesktop", remoteDesktopService,
                       "CreateSession", nullptr, "(o)");
    const std::string remotePath = objectPath(remote);
    // Stopped on any failure from here on.
    struct StopOnFailure {
        GDBusConnection* connection;
        const std::string& path;
        bool armed = true;
        ~StopOnFailure()
        {
            if (armed)
                g_dbus_connection_call(connection, remoteDesktopService, path.c_str(), sessionInterface, "Stop", nullptr,
                                       nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
        }
    } stopOnFailure{connection_, remotePath};

    auto idReply = call(connection_, remoteDesktopService, remotePath, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", sessionInterface, "SessionId"), "(v)");
    GVariant* idValue = nullptr;
    g_variant_get(idReply.get(), "(v)", &idValue);
    Variant ownId(idValue);
    if (!g_variant_is_of_type(idValue, G_VARIANT_TYPE_STRING))
        throw MutterError("the remote-desktop session has no identifier");
    const std::string sessionId = g_variant_get_string(idValue, nullptr);

    auto cast = call(connection_, screenCastService, "/org/gnome/Mutter/ScreenCast", screenCastService, "CreateSession",
                     g_variant_new("(@a{sv})", options({{"remote-desktop-session-id", g_variant_new_string(sessionId.c_str())}})),
                     "(o)");
    const std::string castPath = objectPath(cast);
    // Cursor mode 1: drawn into the pictures.
    GVariant* recordOptions = options({{"cursor-mode", g_variant_new_uint32(1)}});
    auto stream = what.connector.empty()
                      ? call(connection_, screenCastService, castPath, "org.gnome.Mutter.ScreenCast.Session", "RecordVirtual",
                             g_variant_new("(@a{sv})", recordOptions), "(o)")
                      : call(connection_, screenCastService, castPath, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                             g_variant_new("(s@a{sv})", what.connector.c_str(), recordOptions), "(o)");
    const std::string streamPath = objectPath(stream);

    StreamAnnouncement announcement(connection_, streamPath);
    call(connection_, remoteDesktopService, remotePath, sessionInterface, "Start", nullptr, nullptr);
    const std::uint32_t node = announcement.wait();
    if (node == 0)
        throw MutterError("the screen-cast stream was not announced");
    stopOnFailure.armed = false;
    auto session = std::make_unique<MutterSession>(shared_from_this(), remotePath, streamPath, node);
    // The compositor drops the first key events of the session's new keyboard while clients
    // take up its keymap: a tap of Shift takes that loss instead of what the user types. Its
    // pointer is made by a first motion; on a seat without another one, clients take it up
    // before they get its events: a motion by nothing makes it now, not with the first touch.
    session->keyboardKeysym(0xffe1, true);
    session->keyboardKeysym(0xffe1, false);
    session->pointerMotionRelative(0, 0);
    return session;
}

MutterSession::MutterSession(std::shared_ptr<MutterBus> bus, std::string remoteDesktopPath, std::string streamPath,
                             std::uint32_t pipeWireNode)
    : bus_(std::move(bus)), remoteDesktopPath_(std::move(remoteDesktopPath)), streamPath_(std::move(streamPath)), node_(pipeWireNode)
{
}

MutterSession::~MutterSession()
{
    clipboard_.reset();
    try {
        call(bus_->connection(), remoteDesktopService, remoteDesktopPath_, sessionInterface, "Stop", nullptr, nullptr);
    } catch (const MutterError&) {
        // Already gone with the compositor.
    }
}

void MutterSession::notify(const char* method, GVariant* arguments)
{
    g_dbus_connection_call(bus_->connection(), remoteDesktopService, remoteDesktopPath_.c_str(), sessionInterface, method,
                           arguments, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
}

void MutterSession::pointerMotionAbsolute(double x, double y)
{
    notify("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", streamPath_.c_str(), x, y));
}

void MutterSession::pointerMotionRelative(double dx, double dy)
{
    notify("NotifyPointerMotionRelative", g_variant_new("(dd)", dx, dy));
}

void MutterSession::pointerButton(int button, bool pressed)
{
    notify("NotifyPointerButton", g_variant_new("(ib)", button, pressed));
}

void MutterSession::pointerAxis(double dx, double dy)
{
    // No flags: a finger's scroll that goes on (no end, so nothing kinetic follows it).
    notify("NotifyPointerAxis", g_variant_new("(ddu)", dx, dy, 0u));
}

bool MutterSession::pasteText(const std::string& text)
{
    if (!clipboard_)
        clipboard_ = std::make_unique<MutterClipboard>(bus_->connection(), remoteDesktopPath_);
    return clipboard_->pasteText(text, 0xffe3 /* Control_L */, 'v');
}

void MutterSession::keyboardKeysym(std::uint32_t keysym, bool pressed)
{
    notify("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, pressed));
}

}  // namespace kestrio::platform::gnome
