#include "platform/phones/system_device_lister.h"

#include "platform/phones/usbmux_device_lister.h"
#include "platform/phones/xcrun_device_lister.h"

#include <sys/stat.h>
#include <unistd.h>

namespace kestrio::phones {

std::unique_ptr<DeviceLister> makeSystemDeviceLister()
{
    return makeSystemDeviceLister("/usr/bin/xcrun");
}

std::unique_ptr<DeviceLister> makeSystemDeviceLister(const std::string& xcrunPath)
{
    struct stat info {};
    // A directory passes the access check for execution too; it is not a tool.
    if (stat(xcrunPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(xcrunPath.c_str(), X_OK) == 0)
        return std::make_unique<XcrunDeviceLister>(xcrunPath);
    return std::make_unique<UsbmuxDeviceLister>();
}

}  // namespace kestrio::phones
