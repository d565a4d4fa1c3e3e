#pragma once

#include <filesystem>
#include <functional>
#include <string_view>
#include <sys/types.h>

namespace kestrio::platform::os {

// The points a replacement passes, for callers that stop it there as a crash would.
enum class AtomicWriteStep { temporaryCreated, partlyWritten, written, synced, renamed };
// Returning false stops the write at once, leaving whatever a crash at that point would.
using AtomicWriteHook = std::function<bool(AtomicWriteStep)>;

struct AtomicWriteResult {
    int error = 0;             // the errno of the step that failed (ECANCELED: the hook stopped it)
    bool folderSynced = false;  // the folder was flushed after the rename, so the change survives a power cut
    bool replaced() const { return error == 0; }
};

// Replaces `file` with `text` in one step, so that nobody ever reads half of it: a temporary
// beside it (named `file` + ".tmp-" + six random characters, with `mode`), written and flushed,
// renamed over it, then the folder flushed.
AtomicWriteResult replaceFileAtomically(const std::filesystem::path& file, std::string_view text, mode_t mode,
                                        const AtomicWriteHook& hook = {});

// Removes the temporaries replaceFileAtomically left beside `file` when cut short by a crash.
void removeStaleTemporaries(const std::filesystem::path& file);

// Flushes a folder's entries; false when it could not be opened or flushed.
bool syncFolder(const std::filesystem::path& folder);

}  // namespace kestrio::platform::os
