#pragma once

#include "platform/kde/kwin_connection.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

namespace kestrio::platform::kde {

// The clipboard of the KDE desktop through the clipboard-control protocol KWin offers every
// client: text the keyboard cannot type is handed over by making it the clipboard's content and
// pasting it. What the clipboard held before is read first and offered again once the paste has
// been served.
//
// A clipboard keeper (Klipper) reads each new content as soon as it is set; the focused program
// reads only after the paste shortcut. So only a read that KWin passes on after it has taken the
// shortcut counts as the paste's: the paste returns once such a read has been served and its
// reader has taken every byte, and later input cannot overtake it.
class KwinClipboard {
public:
    // Clipboard contents larger than this are not kept for restoring.
    static constexpr std::size_t largestRestored = 16 * 1024 * 1024;
    // How long a paste waits for the focused program to read the text before it is given up on
    // (nothing that can take text has the focus).
    static constexpr std::chrono::milliseconds readWait{2000};

    explicit KwinClipboard(std::shared_ptr<KwinConnection> connection);
    ~KwinClipboard();
    KwinClipboard(const KwinClipboard&) = delete;
    KwinClipboard& operator=(const KwinClipboard&) = delete;

    // Makes `text` the clipboard's content, runs `typeShortcut` (which posts the paste keys, with
    // the connection's lock held) and returns once the focused program has read the text, or
    // after `readWait`; then offers again what the clipboard held before. False when KWin offers
    // no clipboard control.
    bool pasteText(const std::string& text, const std::function<void()>& typeShortcut);

private:
    using Content = std::map<std::string, std::string>;  // by MIME type
    struct Offer {
        zwlr_data_control_offer_v1* proxy = nullptr;
        std::vector<std::string> mimeTypes;
    };
    struct Source {
        KwinClipboard* clipboard = nullptr;
        zwlr_data_control_source_v1* proxy = nullptr;
        std::shared_ptr<const Content> content;
        bool counted = false;  // reads of it count as a paste's
    };
    struct Write {
        int fd = -1;
        std::shared_ptr<const Content> content;
        std::string mimeType;
        bool paste = false;
    };

    static Content textContent(const std::string& text);
    // What the clipboard holds now (another program's), when it is text or within the size limit.
    Content currentContent(std::unique_lock<std::mutex>& held);
    Source* offer(std::shared_ptr<const Content> content);
    void drop(Source* source);
    void writeAll();

    static void dataOffer(void* data, zwlr_data_control_device_v1* device, zwlr_data_control_offer_v1* offer);
    static void selection(void* data, zwlr_data_control_device_v1* device, zwlr_data_control_offer_v1* offer);
    static void finished(void* data, zwlr_data_control_device_v1* device);
    static void primarySelection(void* data, zwlr_data_control_device_v1* device, zwlr_data_control_offer_v1* offer);
    static void offerType(void* data, zwlr_data_control_offer_v1* offer, const char* mimeType);
    static void send(void* data, zwlr_data_control_source_v1* source, const char* mimeType, std::int32_t fd);
    static void cancelled(void* data, zwlr_data_control_source_v1* source);

    std::shared_ptr<KwinConnection> connection_;
    zwlr_data_control_device_v1* device_ = nullptr;
    // Under the connection's lock (listeners run with it held).
    std::map<zwlr_data_control_offer_v1*, Offer> offers_;
    zwlr_data_control_offer_v1* current_ = nullptr;  // the selection, when another program owns it
    std::vector<std::unique_ptr<Source>> sources_;
    std::shared_ptr<const Content> restored_;  // what a source of ours offers again, while it owns the clipboard

    // The writes of offered content, done by a thread of their own.
    std::mutex writesMutex_;
    std::condition_variable writesChanged_;
    std::deque<Write> writes_;
    int pasteReadsServed_ = 0;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace kestrio::platform::kde
