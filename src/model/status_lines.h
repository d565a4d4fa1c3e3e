#pragma once

// The status lines the window shows and the headless host prints, rendered from the model's
// typed state.

#include "model/host_model.h"
#include "model/stream_options.h"

#include <optional>
#include <string>

namespace kestrio::model {

// "iPhone 연결됨", the error shown, or that the host waits for the phone.
BilingualText statusTitle(const HostModel& model);
// How the viewer is reached, or what to do on the phone and the host's address.
BilingualText statusDetail(const HostModel& model);
// The hint under the controls.
BilingualText hintText(const HostModel& model);
std::optional<std::string> errorText(const HostModel& model);

}  // namespace kestrio::model
