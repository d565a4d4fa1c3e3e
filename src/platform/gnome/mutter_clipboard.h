#pragma once

#include <chrono>
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
// clipboard; a thread of its own answers. Only the read that follows the paste shortcut gets the
// text: a read that came before it (the compositor keeping a copy, a paste of an earlier text
// that was given up on) is refused, so no text is ever pasted in place of another.
class MutterClipboard {
public:
    // Clipboard contents larger than this are not kept for restoring.
    static constexpr std::size_t largestRestored = 16 * 1024 * 1024;
    // How long a paste waits for the focused program to read the text before it is given up on
    // (nothing that can take text has the focus).
    static constexpr std::chrono::milliseconds readWait{2000};

    MutterClipboard(GDBusConnection* connection, std::string sessionPath);
    ~MutterClipboard();
    MutterClipboard(const MutterClipboard&) = delete;
    MutterClipboard& operator=(const MutterClipboard&) = delete;

    // Makes `text` the clipboard's content, types the paste shortcut (`modifier` held while `key`
    // is pressed, both keysyms) on the session and returns once the focused program has read
    // the text, or after `readWait`; then offers again what the clipboard held before. False
    // when the compositor refused the clipboard.
    bool pasteText(const std::string& text, std::uint32_t modifier, std::uint32_t key);

private:
    using Content = std::map<std::string, std::string>;  // by MIME type
    struct Arrivals;

    static Content textContent(const std::string& text);
    // What the clipboard holds now, when it is text or anything else within the size limit.
    Content currentContent();
    bool offer(Content content, bool restored);
    void typeShortcut(std::uint32_t modifier, std::uint32_t key);
    void keysym(std::uint32_t keysym, bool pressed);
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
    // What the connection's filter sees arrive, in the order it arrives; shared with the filter,
    // which may outlive this object by a moment.
    std::shared_ptr<Arrivals> arrivals_;
    unsigned filter_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool started_ = false;
    Content offered_;                        // what the session offers while it owns the clipboard
    std::vector<std::string> foreignTypes_;  // what another owner offers
    bool sessionOwns_ = false;
    bool ownerReported_ = false;  // the compositor told of an owner since the session enabled the clipboard
    bool offeringRestored_ = false;  // what the session offers is what was there before a paste
    bool pasting_ = false;           // a text is offered and its paste not yet read or given up
    bool pasteRead_ = false;         // the paste's read was served
};

}  // namespace kestrio::platform::gnome
