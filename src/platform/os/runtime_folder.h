#pragma once

#include "platform/os/unique_fd.h"

#include <filesystem>
#include <optional>

namespace kestrio::platform::os {

// Where the host keeps what lasts as long as the user's session: $XDG_RUNTIME_DIR/kestrio when
// the runtime directory is set and exists, else /tmp/kestrio-UID. Not made here.
std::filesystem::path runtimeFolder();

// The user's home folder: $HOME when set, else the password database's; nothing when neither
// names one.
std::optional<std::filesystem::path> homeFolder();

// `folder` opened, made first (0700) when `create` and it is missing; nothing when it is not a
// real folder of this user's alone. A symbolic link planted in its place is not followed.
UniqueFd openPrivateFolder(const std::filesystem::path& folder, bool create);

}  // namespace kestrio::platform::os
