// qrb-flash: the station, a front end without a display for many boards at
// once. The composition root: udev as the device source, the command line to
// the station.

#include "DeviceSource.h"
#include "ResourceLocation.h"
#include "StationCommand.h"
#include "UdevDeviceSource.h"

#include <iostream>
#include <unistd.h>
#include <memory>

int main(int argc, char** argv) {
    setDefaultDeviceSource(std::make_shared<UdevDeviceSource>());
    const std::string configuration =
        (resourceDirectoryFor(currentExecutable(), QRB_BUILD_OUTPUT_DIR, QRB_SOURCE_RESOURCE_DIR) /
         "QRB_Image.plist")
            .string();
    const int code = runStationCommand({argv + 1, argv + argc}, configuration, std::cout, std::cerr,
                                       ::isatty(STDOUT_FILENO) == 1);
    std::cout.flush();
    setDefaultDeviceSource(nullptr);
    return code;
}
