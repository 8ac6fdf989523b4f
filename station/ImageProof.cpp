#include "ImageProof.h"

#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "RecordWalk.h"

std::optional<BoardFailure> proveStationImage(const std::string& path) {
    std::optional<BoardFailure> failure;
    try {
        openImageFile(path.c_str());
        walkImageRecords([](const ImageRecord& record) {
            for (uint32_t i = 0; i < record.length; ++i) {
                ReadUint(1);
            }
        });
    } catch (const FirmwareUpdaterException& exception) {
        failure = BoardFailure{exception.name(), exception.reason()};
    }
    closeImageFile();
    return failure;
}
