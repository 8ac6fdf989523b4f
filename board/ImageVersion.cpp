#include "ImageVersion.h"

#include "Bootloader.h"

#include <tuple>

VersionCase classifyFirmwareVersion(std::uint32_t boardWord, ImageVersion image) {
    if (boardWord == kCorruptFirmwareVersion) {
        return VersionCase::Corrupt;
    }
    ImageVersion board;
    board.data = boardWord;
    const auto boardOrder = std::make_tuple(board.major(), board.minor(), board.rev());
    const auto imageOrder = std::make_tuple(image.major(), image.minor(), image.rev());
    if (boardOrder < imageOrder) {
        return VersionCase::Older;
    }
    return boardOrder == imageOrder ? VersionCase::Same : VersionCase::Newer;
}
