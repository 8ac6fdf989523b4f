#include "AppController.h"

#include "BoardRecognition.h"
#include "Log.h"

// ---------------------------------------------------------------------------
// Board detection and selection

void AppController::startSerialNotifications() {
    _serialDeviceNotifier = IORegistryDeviceNotifier::notifierForDevicesNamed(
        std::nullopt, std::string(kSerialDeviceClass), shared_from_this(),
        multipleDevicesSelector(&AppController::serialMultipleDevicesAdded),
        multipleDevicesSelector(&AppController::serialMultipleDevicesRemoved));
}

void AppController::resendAddedNotifications() {
    if (_serialDeviceNotifier) {
        _serialDeviceNotifier->resendAllAddedNotifications();
    }
}

std::optional<std::string>
AppController::serialNumberForPossibleQRBBoxWithProperties(const PropertyDictionary& properties) {
    return boardSerialNumberOf(properties);
}

void AppController::serialMultipleDevicesAdded(const DeviceList& devices) {
    updateBoardTable(devices, true);
}

void AppController::serialMultipleDevicesRemoved(const DeviceList& devices) {
    updateBoardTable(devices, false);
}

void AppController::updateBoardTable(const DeviceList& devices, bool attached) {
    bool counted = false;
    for (const DeviceProperties& device : devices) {
        if (!device) {
            continue;
        }
        if (std::optional<std::string> serialNumber =
                serialNumberForPossibleQRBBoxWithProperties(*device)) {
            if (attached) {
                _qrbBoxes[*serialNumber] = device;
            } else {
                _qrbBoxes.erase(*serialNumber);
            }
            counted = true;
        }
    }
    if (counted) {
        handleQRBBoxesChanged();
    }
}

void AppController::handleQRBBoxesChanged() {
    // A connection worker whose board has gone stops and frees the port.
    if (_connectionWorkerRunning && _connectionSerialNumber &&
        !_qrbBoxes.contains(*_connectionSerialNumber)) {
        _connectionStopRequested = true;
        clearConnectionDiagnosis();
    }
    // The board that did not answer has gone: so has what was said of it.
    if (_unansweredSerialNumber && !_qrbBoxes.contains(*_unansweredSerialNumber)) {
        clearConnectionDiagnosis();
    }
    _connectionPending = false;

    if (_qrbBoxes.empty()) {
        _ignoreAddedNotifications = false;
    }
    if (_ignoreAddedNotifications || _updateStarted) {
        return;
    }

    if (_qrbBoxes.size() >= 2) {
        framework_.runCriticalAlertPanel("Multiple QRB Boards Detected",
                                         "Please make sure that only one QRB board is connected "
                                         "to your computer during this firmware update.",
                                         "OK");
        framework_.performAfterDelay(
            [self = shared_from_this()] { self->resendAddedNotifications(); }, 0.0);
        return;
    }

    if (_qrbBoxes.size() == 1) {
        if (_connectionWorkerRunning) {
            // Served as soon as the previous worker has ended.
            _connectionPending = true;
            return;
        }
        const auto& [serialNumber, properties] = *_qrbBoxes.begin();
        const std::string* calloutDevice = stringProperty(*properties, kCalloutDeviceKey);
        if (calloutDevice == nullptr) {
            logLine("QRB board %s has no %s", serialNumber.c_str(), kCalloutDeviceKey);
            return;
        }
        // A new attempt says for itself why it fails.
        if (_unansweredSerialNumber) {
            clearConnectionDiagnosis();
        }
        const std::string* physicalPort = stringProperty(*properties, kPhysicalPortKey);
        _history.begin(*calloutDevice, physicalPort != nullptr ? *physicalPort : std::string(),
                       serialNumber);
        _ignoreAddedNotifications = true;
        _connectionWorkerRunning = true;
        _connectionSerialNumber = serialNumber;
        _attemptSerialNumber = serialNumber;
        _attemptDevicePath = *calloutDevice;
        _connectionStopRequested = false;
        {
            std::lock_guard<std::mutex> lock(_connectionThreadMutex);
            ++_connectionThreadsRunning;
        }
        framework_.detachNewThread([self = shared_from_this(), devicePath = *calloutDevice] {
            self->handleConnectCommand(devicePath);
        });
    }
}
