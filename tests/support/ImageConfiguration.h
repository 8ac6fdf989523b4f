#pragma once

// The update configuration of the tests that run qrb-flash on images of
// their own: firmware 1.2.3 in QRB_Firmware.sc and the RAM bootloader in
// QRB_RAM_Bootloader.sc, beside it.

#include "TempDir.h"

#include <string>

namespace testing_support {

// Writes it as QRB_Image.plist in dir: its path.
inline std::string writeImageConfiguration(const TempDir& dir) {
    return dir.writeFile(
        "QRB_Image.plist",
        std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                    "version=\"1.0\">\n<dict>\n"
                    "<key>QRB_FW_Image_Version_Major</key><integer>1</integer>\n"
                    "<key>QRB_FW_Image_Version_Minor</key><integer>2</integer>\n"
                    "<key>QRB_FW_Image_Version_Revision</key><integer>3</integer>\n"
                    "<key>QRB_FW_Image_File_Path</key><string>QRB_Firmware.sc</string>\n"
                    "<key>RAM_Bootloader_Path</key><string>QRB_RAM_Bootloader.sc</string>\n"
                    "</dict>\n</plist>\n"));
}

} // namespace testing_support
