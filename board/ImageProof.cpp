#include "ImageProof.h"

#include "FirmwareUpdaterException.h"
#include "RecordWalk.h"

std::optional<BoardFailure> proveStationImage(const std::string& path) {
    try {
        proveImageFile(path.c_str());
    } catch (const FirmwareUpdaterException& exception) {
        return BoardFailure{exception.name(), exception.reason()};
    }
    return std::nullopt;
}
