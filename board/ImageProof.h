#pragma once

#include "BoardSequence.h"

#include <optional>
#include <string>

// Reads the image file at path the way the transfer reads it, touching no
// board; the failure the transfer would meet, or none.
std::optional<BoardFailure> proveStationImage(const std::string& path);
