#include "UpdateCaptions.h"

const char* updateStepCaption(UpdateStep step) {
    switch (step) {
    case UpdateStep::OpeningBootloader:
        return "Opening bootloader file\u2026";
    case UpdateStep::DownloadingBootloader:
        return "Downloading the bootloader\u2026";
    case UpdateStep::VerifyingBootloader:
        return "Verifying the bootloader\u2026";
    case UpdateStep::OpeningFirmware:
        return "Opening firmware image\u2026";
    case UpdateStep::Unsealing:
        return "Unsealing the flash\u2026";
    case UpdateStep::Programming:
        return "Programming the flash\u2026";
    case UpdateStep::VerifyingFlash:
        return "Verifying the flash\u2026";
    case UpdateStep::Sealing:
        return "Sealing the flash\u2026";
    }
    return "";
}
