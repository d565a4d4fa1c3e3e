#include "desktop/display_facility.h"

namespace kestrio::display {

VirtualMonitor::~VirtualMonitor() = default;
DisplayFacility::~DisplayFacility() = default;

}  // namespace kestrio::display
