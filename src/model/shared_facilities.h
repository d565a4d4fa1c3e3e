#pragma once

#include "model/settings_store.h"
#include "model/viewer_link.h"
#include "runtime/clock.h"
#include "runtime/executor.h"

#include <memory>

namespace kestrio::display {
class DisplayFacility;
}

namespace kestrio::model {

class PermissionFacility;

// What the model's parts have in common: the main executor they run on, the clock, the viewer
// link, the stored settings, and the desktop's displays and permissions. Each part takes these
// beside an environment of its own. (The parts that use the displays or the permissions include
// their headers.)
struct SharedFacilities {
    std::shared_ptr<runtime::Executor> mainExecutor;
    std::shared_ptr<runtime::Clock> clock;
    std::shared_ptr<ViewerLink> link;
    std::shared_ptr<SettingsStore> settings;
    std::shared_ptr<display::DisplayFacility> displays;
    std::shared_ptr<PermissionFacility> permissions;
};

}  // namespace kestrio::model
