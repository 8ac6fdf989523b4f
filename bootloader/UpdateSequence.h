#pragma once

#include "ImageFile.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The firmware update as one sequence of eight steps over the bootloader
// functions: the RAM bootloader is downloaded and verified, the board jumps
// to it and the line goes to its speed, then the flash is unsealed,
// programmed, verified and sealed. An observer hears of every step and can
// follow the data bytes of the long steps through a counter.

// The steps, in order; their captions are the application's words
// (board/UpdateCaptions.h).
enum class UpdateStep {
    OpeningBootloader,
    DownloadingBootloader,
    VerifyingBootloader, // with the jump to the RAM bootloader and the switch to its speed
    OpeningFirmware,
    Unsealing,
    Programming,
    VerifyingFlash,
    Sealing,
};
inline constexpr std::size_t kUpdateStepCount = 8;

// Whether the step sends the data records of an image file.
bool updateStepSendsData(UpdateStep step);

struct UpdatePlan {
    std::string ramBootloaderPath;
    std::string firmwarePath;
    uint32_t version = 0; // the seal word: major, minor, revision from bit 0
    // The images' bytes, when read already (readImageBytes): then these are
    // proved and sent, and the files are not read again. Otherwise each
    // file is read once, in its opening step.
    std::shared_ptr<const ImageBytes> ramBootloader = nullptr;
    std::shared_ptr<const ImageBytes> firmware = nullptr;
};

struct UpdateStepStart {
    UpdateStep step = UpdateStep::OpeningBootloader;
    // For a step that sends data: the sum of the lengths of the file's data
    // records, or none when they cannot be summed. Otherwise none.
    std::optional<uint64_t> dataTotal;
    // The data byte counter's value as the step starts; the step's own bytes
    // are the counter less this.
    uint64_t dataBytesBefore = 0;
};

// Called on the thread that runs the sequence.
class UpdateObserver {
  public:
    virtual ~UpdateObserver() = default;
    // Before the step does anything.
    virtual void stepStarted(const UpdateStepStart& start) = 0;
    // After the step's last exchange; not for a step that fails.
    virtual void stepFinished(UpdateStep /*step*/) {}
    // Within VerifyingBootloader, after the verification: before the jump to
    // the RAM bootloader, and before the synchronisation at its speed.
    virtual void jumpStarted() {}
    virtual void ramBootloaderSynchronisationStarted() {}
    // In an opening step, the image's bytes as read (or as the plan carries
    // them), before they are proved: what will be sent.
    virtual void imageRead(UpdateStep /*step*/, const ImageBytes& /*bytes*/) {}
};

// Runs the eight steps with the board's resident bootloader in step on the
// open serial port. Each image file is proved (proveOpenImageFile) in its
// opening step, before the step that sends it: a file the transfer would
// refuse fails there, so a bad firmware image never costs the board the
// firmware it has. Every exchange is bounded (ExchangeBounds.h). dataBytesSent counts the data
// bytes sent in the data steps, over the whole run (the sequence only adds to it; another thread
// may read it at any time). The totals come from the proving of the files. Failures raise as the
// bootloader functions do; the image file and the port are left to the caller to close.
void runUpdateSequence(const UpdatePlan& plan, UpdateObserver& observer,
                       std::atomic<uint64_t>& dataBytesSent);
