#include "app/status_printer.h"

#include "model/status_lines.h"
#include "updates/update_status.h"

namespace kestrio::app {

void StatusPrinter::show(const model::HostModel& model)
{
    // First: what a newcomer opens on the phone.
    if (auto link = model.browserLink(); link && link != browserLink_) {
        out_ << "browser page: " << *link << std::endl;
        browserLink_ = std::move(link);
    }
    if (const auto& viewer = model.pairedPhones().connectedViewer(); viewer && viewer != viewer_) {
        viewer_ = viewer;
        out_ << "viewer: " << viewer->first << std::endl;
    }
    const auto title = model::statusTitle(model);
    const auto detail = model::statusDetail(model);
    if (title != title_ || detail != detail_) {
        out_ << title.korean << '\n' << title.english << '\n' << detail.korean << '\n' << detail.english << std::endl;
        title_ = title;
        detail_ = detail;
    }
    const bool pointerConfined = model.streaming().virtualMonitorUnreachable();
    if (pointerConfined && !pointerConfined_) {
        const auto& warning = model.wording().virtualMonitorUnreachable;
        out_ << warning.korean << '\n' << warning.english << std::endl;
    }
    pointerConfined_ = pointerConfined;
    if (const bool unsaved = model.settingsUnsaved(); unsaved != settingsUnsaved_) {
        settingsUnsaved_ = unsaved;
        if (unsaved)
            out_ << model::settingsUnsavedText << '\n' << model::settingsUnsavedEnglishText << std::endl;
        else
            out_ << model::settingsSavedText << '\n' << model::settingsSavedEnglishText << std::endl;
    }
    // Remote access and the address notification: each change after the first look. Port
    // mapping off is told from the first look on, as the window's text alone (its Korean line,
    // then its English one), since its status would only repeat it.
    const auto& access = model.remoteAddress().access();
    const bool mappingOff = access.state == model::RemoteAccess::State::off;
    std::pair remote{model::endpointText(access), model::statusText(access)};
    if ((remote_ || mappingOff) && remote_ != remote)
        out_ << "remote address: " << (mappingOff ? remote.first : remote.first + " (" + remote.second + ")") << std::endl;
    remote_ = std::move(remote);
    auto message = model::text(model.remoteAddress().status(), model.wording());
    if (message_ && message != *message_)
        out_ << "message: " << message << std::endl;
    message_ = std::move(message);

    auto error = model::errorText(model);
    if (error != error_) {
        error_ = error;
        if (error && *error != title.korean)
            out_ << *error << std::endl;
    }
}

void StatusPrinter::showUpdate(const updates::UpdateState& state)
{
    using Kind = updates::UpdateState::Kind;
    // A check in between makes the same outcome a new one.
    if (state == update_)
        return;
    update_ = state;
    if (state.kind == Kind::idle || state.kind == Kind::checking)
        return;
    const auto text = updates::describe(state);
    out_ << "update: " << text.korean << '\n' << text.english << '\n';
    if (!text.downloadURL.empty())
        out_ << "download: " << text.downloadURL << '\n';
    out_ << std::flush;
}

}  // namespace kestrio::app
