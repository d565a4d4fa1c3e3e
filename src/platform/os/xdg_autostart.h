#pragma once

#include "model/login_item.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrio::platform::os {

// Starts the host at login through an XDG autostart entry: kestrio.desktop in the user's
// autostart folder, which the desktop session reads when the user logs in.
//
// Registering keeps what the user put in an existing entry (other keys, comments, other groups,
// translations) and sets only what makes it start this program: Type, Name, Exec, Icon,
// Terminal, and the switches that turn it on (Hidden goes, X-GNOME-Autostart-enabled=true).
// The entry is replaced in one step (a temporary file beside it, flushed, renamed over it), so
// it is never seen half written, and a write that fails leaves the old entry as it was.
class XdgAutostart final : public model::LoginItemService {
public:
    static constexpr std::string_view entryName = "kestrio.desktop";

    // $XDG_CONFIG_HOME/autostart when that variable holds an absolute path, else
    // .config/autostart in $HOME or, without $HOME, in the account's home folder. Nothing when
    // no home folder is known.
    static std::optional<std::filesystem::path> defaultFolder();
    // This program's file as /proc/self/exe names it. Nothing when that cannot be read.
    static std::optional<std::filesystem::path> runningExecutable();

    // The entry in defaultFolder() that starts runningExecutable(). Without either, status()
    // reports notRegistered and registerItem() fails.
    XdgAutostart();
    // `executable` is a path, or a name the session looks up on PATH.
    XdgAutostart(std::filesystem::path folder, std::filesystem::path executable);

    // enabled when the entry is a desktop entry the session starts: it reads as one, its first
    // group is [Desktop Entry] with Type=Application and an Exec, Hidden is not true and
    // X-GNOME-Autostart-enabled, where present, is true. Values read as GLib reads them, as the
    // session does: "true" or "1" is true, "false" or "0" false; an X-GNOME-Autostart-enabled
    // that is neither turns the entry off. Anything else, an unreadable file included, is
    // notRegistered; requiresApproval and notFound do not occur on this platform.
    Status status() override;
    // Creates the folder (private to the user) when it is missing. An existing file that does
    // not read as a desktop entry is replaced whole, since no session would start it.
    std::optional<std::string> registerItem() override;
    // No entry at all counts as success.
    std::optional<std::string> unregisterItem() override;

    // Empty when there is no folder.
    std::filesystem::path entryPath() const;

private:
    std::filesystem::path folder_;
    std::filesystem::path executable_;
};

}  // namespace kestrio::platform::os
