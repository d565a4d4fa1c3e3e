#include "x11/virtual_display_test_support.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/wait.h>

namespace kestrio::platform::testing {

CommandResult xrandr(const std::string& displayName, const std::string& arguments)
{
    const std::string command = "DISPLAY=" + displayName + " xrandr " + arguments + " 2>&1";
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, count);
    int status = pclose(pipe);
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

namespace {

struct Connection {
    explicit Connection(const std::string& displayName) : connection(xcb_connect(displayName.c_str(), nullptr)) {}
    ~Connection() { xcb_disconnect(connection); }
    bool ok() const { return xcb_connection_has_error(connection) == 0; }
    xcb_window_t root() const { return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root; }
    xcb_connection_t* connection;
};

}  // namespace

Point pointerPosition(const std::string& displayName)
{
    Connection c(displayName);
    Point point;
    if (!c.ok())
        return point;
    if (auto* reply = xcb_query_pointer_reply(c.connection, xcb_query_pointer(c.connection, c.root()), nullptr)) {
        point = {reply->root_x, reply->root_y};
        std::free(reply);
    }
    return point;
}

Size rootSize(const std::string& displayName)
{
    Connection c(displayName);
    Size size;
    if (!c.ok())
        return size;
    if (auto* reply = xcb_get_geometry_reply(c.connection, xcb_get_geometry(c.connection, c.root()), nullptr)) {
        size = {reply->width, reply->height};
        std::free(reply);
    }
    return size;
}

std::vector<std::string> modeNames(const std::string& displayName)
{
    Connection c(displayName);
    std::vector<std::string> names;
    if (!c.ok())
        return names;
    auto* reply = xcb_randr_get_screen_resources_reply(c.connection, xcb_randr_get_screen_resources(c.connection, c.root()), nullptr);
    if (!reply)
        return names;
    const auto* modes = xcb_randr_get_screen_resources_modes(reply);
    const auto* bytes = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_names(reply));
    for (int i = 0; i < xcb_randr_get_screen_resources_modes_length(reply); ++i) {
        names.emplace_back(bytes, modes[i].name_len);
        bytes += modes[i].name_len;
    }
    std::free(reply);
    return names;
}

}  // namespace kestrio::platform::testing
