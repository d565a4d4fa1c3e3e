#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GVariant GVariant;

namespace kestrio::platform::gnome {

// The clipboard of a remote-desktop session: text is handed to the desktop by making it the
// clipboard's content and pasting it, for characters the keyboard cannot type. What the
// clipboard held before is read first and offered again once the paste has been served.
//
// The compositor asks for the content by signal, at any time while the session owns the
// clipboard; a thread of its own answers.
class MutterClipboard {
public:
    // Clipboard contents larger than this are not kept for restoring.
    static constexpr std::size_t largestRestored = 16 * 1024 * 1024;

    MutterClipboard(GDBusConnection* connection, std::string sessionPath);
    ~MutterClipboard();
    MutterClipboard(const MutterClipboard&) = delete;
    MutterClipboard& operator=(const MutterClipboard&) = delete;

    // Makes `text` the clipboard's content and runs `paste` (which types the paste shortcut);
    // waits until the paste was served (a second at most), then puts back what was there. False
    // when the compositor refused the clipboard.
    template <typename Paste>
    bool pasteText(const std::string& text, Paste&& paste)
    {
        if (!enabled_)
            return false;
        Content before = currentContent();
        if (!offer(textContent(text), false))
            return false;
        const auto served = transfersServed();
        paste();
        waitForTransferAfter(served);
        if (!before.empty())
            offer(std::move(before), true);
        return true;
    }

private:
    using Content = std::map<std::string, std::string>;  // by MIME type

    static Content textContent(const std::string& text);
    // What the clipboard holds now, when it is text or anything else within the size limit.
    Content currentContent();
    bool offer(Content content, bool restored);
    std::uint64_t transfersServed();
    void waitForTransferAfter(std::uint64_t served);
    // Reads what another owner offers, by MIME type, within the size limit.
    Content readForeign(const std::vector<std::string>& mimeTypes);
    std::string readSelection(const std::string& mimeType, std::size_t limit);

    void run();
    void ownerChanged(GVariant* options);
    void transfer(const std::string& mimeType, std::uint32_t serial);

    GDBusConnection* connection_;
    std::string sessionPath_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;
    bool enabled_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool started_ = false;
    Content offered_;                        // what the session offers while it owns the clipboard
    std::vector<std::string> foreignTypes_;  // what another owner offers
    bool sessionOwns_ = false;
    bool offeringRestored_ = false;  // what the session offers is what was there before a paste
    std::uint64_t served_ = 0;
};

}  // namespace kestrio::platform::gnome
