#include "app/status_printer.h"

namespace kestrio::app {

void StatusPrinter::show(const model::MacScreenModel& model)
{
    if (const auto& viewer = model.connectedViewerIdentity(); viewer && viewer != viewer_) {
        viewer_ = viewer;
        out_ << "viewer: " << viewer->first << std::endl;
    }
    const auto title = model.statusTitle();
    const auto detail = model.statusDetail();
    if (title != title_ || detail != detail_) {
        out_ << title.korean << '\n' << title.english << '\n' << detail.korean << '\n' << detail.english << std::endl;
        title_ = title;
        detail_ = detail;
    }
    // Remote access and the address notification: each change after the first look.
    std::pair remote{model.remoteEndpoint(), model.remoteAccessStatus()};
    if (remote_ && remote != *remote_)
        out_ << "remote address: " << remote.first << " (" << remote.second << ")" << std::endl;
    remote_ = std::move(remote);
    if (message_ && model.iMessageStatus() != *message_)
        out_ << "message: " << model.iMessageStatus() << std::endl;
    message_ = model.iMessageStatus();

    const auto& error = model.errorMessage();
    if (error != error_) {
        error_ = error;
        if (error && *error != title.korean)
            out_ << *error << std::endl;
    }
}

}  // namespace kestrio::app
