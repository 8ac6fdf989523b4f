#include "ImageProof.h"

#include "FirmwareUpdaterException.h"
#include "RecordWalk.h"

ImageProof pinStationImage(const std::string& path) {
    try {
        std::shared_ptr<const ImageBytes> bytes = readImageBytes(path.c_str());
        proveImageBytes(bytes);
        return {PinnedImage{path, std::move(bytes)}, std::nullopt};
    } catch (const FirmwareUpdaterException& exception) {
        return {std::nullopt, BoardFailure{exception.name(), exception.reason()}};
    }
}
