#include "platform/web/browser_page_server.h"

#include "web/browser_signalling.h"

#include <libsoup/soup.h>

#include <pthread.h>

#include <list>
#include <thread>
#include <utility>

extern const unsigned char browserPage[];
extern const std::size_t browserPage_size;

namespace kestrio::platform::web {

namespace {

constexpr guint retryMilliseconds = 1000;
// Pages open at once (a device or two, a reload whose old page is still closing); each paired one
// holds a peer connection with threads of its own, so a flood of them is turned away.
constexpr std::size_t maxOpenPages = 8;

std::string remoteAddress(SoupServerMessage* message)
{
    GSocketAddress* address = soup_server_message_get_remote_address(message);
    if (!address || !G_IS_INET_SOCKET_ADDRESS(address))
        return {};
    gchar* text = g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address)));
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

}  // namespace

// Everything here runs on the loop's thread, but construction and destruction.
struct BrowserPageServer::Loop {
    struct Browser {
        Loop* loop = nullptr;
        SoupWebsocketConnection* connection = nullptr;
        kestrio::web::BrowserSignalling signalling;
        std::uint64_t number = 0;
        std::string address;
        std::string userAgent;
    };

    Settings settings;
    GMainContext* context = g_main_context_new();
    GMainLoop* mainLoop = g_main_loop_new(context, FALSE);
    SoupServer* server = nullptr;
    std::list<Browser> browsers;
    std::uint64_t lastNumber = 0;
    std::thread thread;

    explicit Loop(Settings given) : settings(std::move(given))
    {
        thread = std::thread([this] { run(); });
    }

    ~Loop()
    {
        GSource* quit = g_idle_source_new();
        g_source_set_callback(
            quit, [](gpointer data) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(data));
                return G_SOURCE_REMOVE;
            },
            mainLoop, nullptr);
        g_source_attach(quit, context);
        g_source_unref(quit);
        thread.join();
        g_main_loop_unref(mainLoop);
        g_main_context_unref(context);
    }

    // Runs `work` on the loop's thread.
    void invoke(std::function<void(Loop&)> work)
    {
        auto* held = new std::function<void(Loop&)>(std::move(work));
        g_main_context_invoke_full(
            context, G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                auto* pair = static_cast<std::pair<Loop*, std::function<void(Loop&)>*>*>(data);
                (*pair->second)(*pair->first);
                return G_SOURCE_REMOVE;
            },
            new std::pair<Loop*, std::function<void(Loop&)>*>(this, held), [](gpointer data) {
                auto* pair = static_cast<std::pair<Loop*, std::function<void(Loop&)>*>*>(data);
                delete pair->second;
                delete pair;
            });
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "browser-page");
        g_main_context_push_thread_default(context);
        server = soup_server_new("server-header", "kestrio", nullptr);
        soup_server_add_early_handler(server, nullptr, &Loop::screen, this, nullptr);
        soup_server_add_handler(server, "/", &Loop::servePage, this, nullptr);
        soup_server_add_websocket_handler(server, "/signal", nullptr, nullptr, &Loop::accept, this, nullptr);
        listen();
        g_main_loop_run(mainLoop);
        for (auto& browser : browsers) {
            g_signal_handlers_disconnect_by_data(browser.connection, &browser);
            g_object_unref(browser.connection);
        }
        browsers.clear();
        soup_server_disconnect(server);
        g_object_unref(server);
        // What the connections left behind finishes here.
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_pop_thread_default(context);
    }

    void listen()
    {
        GError* error = nullptr;
        if (soup_server_listen_all(server, settings.port, static_cast<SoupServerListenOptions>(0), &error)) {
            if (settings.status)
                settings.status(true, {});
            return;
        }
        if (settings.status)
            settings.status(false, error ? error->message : "cannot listen");
        g_clear_error(&error);
        GSource* retry = g_timeout_source_new(retryMilliseconds);
        g_source_set_callback(
            retry, [](gpointer data) -> gboolean {
                static_cast<Loop*>(data)->listen();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(retry, context);
        g_source_unref(retry);
    }

    // Before anything else: a request from outside the home network gets nothing.
    static void screen(SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer data)
    {
        auto* self = static_cast<Loop*>(data);
        const std::string address = remoteAddress(message);
        if (address.empty() || !self->settings.isHomeNetworkPeer || !self->settings.isHomeNetworkPeer(address))
            soup_server_message_set_status(message, SOUP_STATUS_FORBIDDEN, nullptr);
    }

    static void servePage(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer)
    {
        const std::string_view asked = path ? path : "";
        if (soup_server_message_get_method(message) != SOUP_METHOD_GET && soup_server_message_get_method(message) != SOUP_METHOD_HEAD) {
            soup_server_message_set_status(message, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
            return;
        }
        if (asked != "/" && asked != "/index.html") {
            soup_server_message_set_status(message, SOUP_STATUS_NOT_FOUND, nullptr);
            return;
        }
        SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
        soup_message_headers_replace(headers, "Cache-Control", "no-store");
        soup_message_headers_replace(headers, "Content-Security-Policy", "default-src 'self' 'unsafe-inline'; connect-src 'self'; img-src 'self' blob: data:; media-src 'self' blob:");
        soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
        soup_server_message_set_response(message, "text/html; charset=utf-8", SOUP_MEMORY_STATIC,
                                         reinterpret_cast<const char*>(browserPage), browserPage_size);
    }

    static void accept(SoupServer*, SoupServerMessage* message, const char*, SoupWebsocketConnection* connection, gpointer data)
    {
        auto* self = static_cast<Loop*>(data);
        if (self->browsers.size() >= maxOpenPages) {
            soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "too many pages open");
            return;
        }
        const std::string address = remoteAddress(message);
        const std::string network = self->settings.sourceNetworkOf ? self->settings.sourceNetworkOf(address) : address;
        const char* agent = soup_message_headers_get_one(soup_server_message_get_request_headers(message), "User-Agent");
        auto& browser = self->browsers.emplace_back(Browser{self, static_cast<SoupWebsocketConnection*>(g_object_ref(connection)),
                                                            kestrio::web::BrowserSignalling(self->settings.pairing, self->settings.clock, network),
                                                            ++self->lastNumber, address, agent ? agent : ""});
        soup_websocket_connection_set_max_incoming_payload_size(connection, kestrio::web::BrowserSignalling::maxMessageSize);
        g_signal_connect(connection, "message", G_CALLBACK(&Loop::received), &browser);
        g_signal_connect(connection, "closed", G_CALLBACK(&Loop::closed), &browser);
    }

    static void received(SoupWebsocketConnection* connection, gint type, GBytes* bytes, gpointer data)
    {
        auto* browser = static_cast<Browser*>(data);
        if (type != SOUP_WEBSOCKET_DATA_TEXT)
            return;
        gsize size = 0;
        const auto* text = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        const std::string_view received(text ? text : "", size);
        const auto& settings = browser->loop->settings;
        if (browser->signalling.paired()) {
            if (settings.message)
                settings.message(browser->number, std::string(received));
            return;
        }
        const std::string reply = browser->signalling.receive(received);
        if (!reply.empty() && soup_websocket_connection_get_state(connection) == SOUP_WEBSOCKET_STATE_OPEN)
            soup_websocket_connection_send_text(connection, reply.c_str());
        if (browser->signalling.paired() && settings.paired)
            settings.paired(browser->number, browser->address, browser->userAgent);
    }

    static void closed(SoupWebsocketConnection* connection, gpointer data)
    {
        auto* browser = static_cast<Browser*>(data);
        Loop* self = browser->loop;
        if (browser->signalling.paired() && self->settings.closed)
            self->settings.closed(browser->number);
        g_signal_handlers_disconnect_by_data(connection, browser);
        self->browsers.remove_if([browser](const Browser& each) { return &each == browser; });
        g_object_unref(connection);
    }
};

BrowserPageServer::BrowserPageServer(Settings settings) : loop_(std::make_unique<Loop>(std::move(settings))) {}

BrowserPageServer::~BrowserPageServer() = default;

void BrowserPageServer::send(std::uint64_t browser, std::string text)
{
    loop_->invoke([browser, text = std::move(text)](Loop& loop) {
        for (auto& each : loop.browsers)
            if (each.number == browser && soup_websocket_connection_get_state(each.connection) == SOUP_WEBSOCKET_STATE_OPEN)
                soup_websocket_connection_send_text(each.connection, text.c_str());
    });
}

void BrowserPageServer::sendBinary(std::uint64_t browser, std::vector<std::uint8_t> bytes)
{
    loop_->invoke([browser, bytes = std::move(bytes)](Loop& loop) {
        for (auto& each : loop.browsers)
            if (each.number == browser && soup_websocket_connection_get_state(each.connection) == SOUP_WEBSOCKET_STATE_OPEN)
                soup_websocket_connection_send_binary(each.connection, bytes.data(), bytes.size());
    });
}

void BrowserPageServer::close(std::uint64_t browser)
{
    loop_->invoke([browser](Loop& loop) {
        for (auto& each : loop.browsers)
            if (each.number == browser && soup_websocket_connection_get_state(each.connection) == SOUP_WEBSOCKET_STATE_OPEN)
                soup_websocket_connection_close(each.connection, SOUP_WEBSOCKET_CLOSE_NORMAL, "replaced");
    });
}

}  // namespace kestrio::platform::web
