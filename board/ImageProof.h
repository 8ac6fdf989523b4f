#pragma once

#include "BoardSequence.h"
#include "ImageFile.h"

#include <memory>
#include <optional>
#include <string>

// An image as a station run holds it: read once at start, then proved,
// hashed and sent from the same bytes.
struct PinnedImage {
    std::string path;
    std::shared_ptr<const ImageBytes> bytes;
};

// Reads the image file at path into memory and proves it the way the
// transfer reads it, touching no board: the image, or the failure the
// transfer would meet.
struct ImageProof {
    std::optional<PinnedImage> image;
    std::optional<BoardFailure> failure;
};
ImageProof pinStationImage(const std::string& path);
