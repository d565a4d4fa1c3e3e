#pragma once

#include "model/host_model.h"
#include "updates/update_checker.h"

#include <optional>
#include <string>
#include <utility>
#include <ostream>

namespace kestrio::app {

// What the window would show, as lines on a stream for a host without one: the status title and
// detail (each Korean, then English) whenever either changes, and an error text that the title
// does not already carry, the name of each viewer that identifies itself ("viewer: NAME"), and
// changes of the remote address ("remote address: ENDPOINT (STATUS)"; with port mapping off,
// from the start, "remote address: " and the window's Korean and English lines) and of the address
// notification's status ("message: STATUS"), the browser viewer's address with its code ("browser
// page: LINK") once known and when it changes, the warning (Korean, then English) each time the
// stream's virtual monitor turns out to keep the pointer out, and that the settings could not be
// saved (Korean, then English) when that starts, and that they are saved when it ends.
class StatusPrinter {
public:
    explicit StatusPrinter(std::ostream& out) : out_(out) {}

    void show(const model::HostModel& model);
    // The outcome of each update check: "update: " and its Korean line, its English line, and
    // "download: URL" when a newer version is out.
    void showUpdate(const updates::UpdateState& state);

private:
    std::ostream& out_;
    std::optional<model::BilingualText> title_;
    std::optional<model::BilingualText> detail_;
    std::optional<std::string> error_;
    std::optional<std::pair<std::string, std::string>> viewer_;
    std::optional<std::pair<std::string, std::string>> remote_;
    std::optional<std::string> message_;
    std::optional<std::string> browserLink_;
    bool pointerConfined_ = false;
    bool settingsUnsaved_ = false;
    updates::UpdateState update_;
};

}  // namespace kestrio::app
