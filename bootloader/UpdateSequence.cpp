#include "UpdateSequence.h"

#include "Bootloader.h"
#include "ExchangeBounds.h"
#include "ImageFile.h"
#include "RecordWalk.h"
#include "Serial.h"

bool updateStepSendsData(UpdateStep step) {
    return step == UpdateStep::DownloadingBootloader || step == UpdateStep::VerifyingBootloader ||
           step == UpdateStep::Programming || step == UpdateStep::VerifyingFlash;
}

void runUpdateSequence(const UpdatePlan& plan, UpdateObserver& observer,
                       std::atomic<uint64_t>& dataBytesSent) {
    std::optional<uint64_t> total; // of the file opened last
    const auto start = [&](UpdateStep step) {
        observer.stepStarted({step, updateStepSendsData(step) ? total : std::nullopt,
                              dataBytesSent.load(std::memory_order_relaxed)});
    };

    start(UpdateStep::OpeningBootloader);
    const std::shared_ptr<const ImageBytes> ramBootloader =
        plan.ramBootloader ? plan.ramBootloader : readImageBytes(plan.ramBootloaderPath.c_str());
    observer.imageRead(UpdateStep::OpeningBootloader, *ramBootloader);
    openImageBytes(ramBootloader);
    // Proved before anything goes to the board.
    total = proveOpenImageFile();
    observer.stepFinished(UpdateStep::OpeningBootloader);

    start(UpdateStep::DownloadingBootloader);
    TransferProgram(dataBytesSent);
    resetImageFile();
    observer.stepFinished(UpdateStep::DownloadingBootloader);

    start(UpdateStep::VerifyingBootloader);
    VerifyProgram(dataBytesSent);
    observer.jumpStarted();
    jumpToAddress(kRamBootloaderAddress);
    closeImageFile();
    serSetBaudRate(kRamBootloaderBaudRate);
    observer.ramBootloaderSynchronisationStarted();
    waitForConnectionWithin(exchange_bounds::kRamBootloaderSynchronisation);
    observer.stepFinished(UpdateStep::VerifyingBootloader);

    start(UpdateStep::OpeningFirmware);
    const std::shared_ptr<const ImageBytes> firmware =
        plan.firmware ? plan.firmware : readImageBytes(plan.firmwarePath.c_str());
    observer.imageRead(UpdateStep::OpeningFirmware, *firmware);
    openImageBytes(firmware);
    // Proved before the flash is unsealed: a file that the transfer would
    // refuse fails here, and the board keeps its sealed firmware.
    total = proveOpenImageFile();
    observer.stepFinished(UpdateStep::OpeningFirmware);

    start(UpdateStep::Unsealing);
    processCommand(kCommandUnseal);
    observer.stepFinished(UpdateStep::Unsealing);

    start(UpdateStep::Programming);
    TransferProgram(dataBytesSent);
    resetImageFile();
    observer.stepFinished(UpdateStep::Programming);

    start(UpdateStep::VerifyingFlash);
    VerifyProgram(dataBytesSent);
    observer.stepFinished(UpdateStep::VerifyingFlash);

    start(UpdateStep::Sealing);
    sealFlash(plan.version);
    observer.stepFinished(UpdateStep::Sealing);
}
