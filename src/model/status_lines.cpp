#include "model/status_lines.h"

namespace kestrio::model {

std::optional<std::string> errorText(const HostModel& model)
{
    if (const auto& error = model.error())
        return text(*error, model.wording());
    return std::nullopt;
}

BilingualText statusTitle(const HostModel& model)
{
    if (model.viewerConnected())
        return model.viewerIsBrowser() ? BilingualText{"브라우저 연결됨", "Browser Connected"} : BilingualText{"iPhone 연결됨", "iPhone Connected"};
    return {errorText(model).value_or("iPhone을 기다리는 중"), "Waiting for iPhone"};
}

BilingualText statusDetail(const HostModel& model)
{
    if (model.viewerConnected())
        return {model.viewerDescription() + " · " + (model.viewerDecodesH264() ? "H.264" : "JPEG 호환 모드"), "Ready to receive the screen"};
    const auto& message = model.launchMessage();
    const std::string lead = message ? text(*message, model.wording()) : "iPhone에서 Kestrio를 열어 주세요";
    return {lead + " · " + model.wording().addressLabel + " " + text(model.localAddress()), "Open Kestrio on your iPhone to connect"};
}

BilingualText hintText(const HostModel& model)
{
    const auto& wording = model.wording();
    const bool mirror = model.streaming().sourceMode() == SourceMode::mirror;
    BilingualText hint;
    if (model.touchPermissionNeeded()) {
        hint.korean = wording.touchPermissionHint;
    } else if (!model.streaming().isStreaming()) {
        hint.korean = wording.extendedMonitorHint.korean;
    } else if (mirror) {
        hint.korean = wording.mirroringHint.korean;
    } else {
        hint.korean = wording.virtualMonitorStreamingHint;
    }
    if (model.touchPermissionNeeded()) {
        hint.english = wording.touchPermissionHintEnglish;
    } else if (mirror) {
        hint.english = wording.mirroringHint.english;
    } else if (model.screenPermissionNeeded()) {
        hint.english = wording.screenPermissionHintEnglish;
    } else {
        hint.english = wording.extendedMonitorHint.english;
    }
    return hint;
}

}  // namespace kestrio::model
