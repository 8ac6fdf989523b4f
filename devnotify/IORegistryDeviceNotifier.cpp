#include "IORegistryDeviceNotifier.h"

#include "Log.h"
#include "RunLoop.h"

#include <utility>

namespace {

constexpr const char* kSerialTypeKey = "IOSerialBSDClientType";
constexpr const char* kRS232SerialStream = "IORS232SerialStream";

} // namespace

std::shared_ptr<IORegistryDeviceNotifier> IORegistryDeviceNotifier::notifierForDevicesNamed(
    std::optional<std::string> deviceName, std::optional<std::string> deviceClass,
    std::shared_ptr<DeviceNotificationTarget> target, DeviceSelector deviceAddedSelector,
    MultipleDevicesSelector multipleDevicesAddedSelector, DeviceSelector deviceRemovedSelector,
    MultipleDevicesSelector multipleDevicesRemovedSelector) {
    if (!deviceName && !deviceClass) {
        return nullptr;
    }
    if (!target) {
        return nullptr;
    }
    if (deviceAddedSelector == nullptr && multipleDevicesAddedSelector == nullptr) {
        return nullptr;
    }
    if (deviceRemovedSelector == nullptr && multipleDevicesRemovedSelector == nullptr) {
        return nullptr;
    }
    auto notifier = std::make_shared<IORegistryDeviceNotifier>(
        std::move(deviceName), std::move(deviceClass), std::move(target), deviceAddedSelector,
        multipleDevicesAddedSelector, deviceRemovedSelector, multipleDevicesRemovedSelector);
    if (notifier->registerForNotifications() != kDeviceReturnSuccess) {
        return nullptr;
    }
    return notifier;
}

std::shared_ptr<IORegistryDeviceNotifier> IORegistryDeviceNotifier::notifierForDevicesNamed(
    std::optional<std::string> deviceName, std::optional<std::string> deviceClass,
    std::shared_ptr<DeviceNotificationTarget> target, DeviceSelector deviceAddedSelector,
    DeviceSelector deviceRemovedSelector) {
    return notifierForDevicesNamed(std::move(deviceName), std::move(deviceClass), std::move(target),
                                   deviceAddedSelector, nullptr, deviceRemovedSelector, nullptr);
}

std::shared_ptr<IORegistryDeviceNotifier> IORegistryDeviceNotifier::notifierForDevicesNamed(
    std::optional<std::string> deviceName, std::optional<std::string> deviceClass,
    std::shared_ptr<DeviceNotificationTarget> target,
    MultipleDevicesSelector multipleDevicesAddedSelector,
    MultipleDevicesSelector multipleDevicesRemovedSelector) {
    return notifierForDevicesNamed(std::move(deviceName), std::move(deviceClass), std::move(target),
                                   nullptr, multipleDevicesAddedSelector, nullptr,
                                   multipleDevicesRemovedSelector);
}

IORegistryDeviceNotifier::IORegistryDeviceNotifier(std::optional<std::string> deviceName,
                                                   std::optional<std::string> deviceClass,
                                                   std::shared_ptr<DeviceNotificationTarget> target,
                                                   DeviceSelector added,
                                                   MultipleDevicesSelector multipleAdded,
                                                   DeviceSelector removed,
                                                   MultipleDevicesSelector multipleRemoved)
    : _source(defaultDeviceSource()) {
    setDeviceName(std::move(deviceName));
    setDeviceClass(std::move(deviceClass));
    setTarget(std::move(target));
    setAddedSelector(added);
    setMultipleAddedSelector(multipleAdded);
    setRemovedSelector(removed);
    setMultipleRemovedSelector(multipleRemoved);
}

IORegistryDeviceNotifier::~IORegistryDeviceNotifier() {
    if (_registeredForNotifications) {
        unregisterForNotifications();
    }
}

void IORegistryDeviceNotifier::setDeviceName(std::optional<std::string> deviceName) {
    _deviceName = std::move(deviceName);
}

void IORegistryDeviceNotifier::setDeviceClass(std::optional<std::string> deviceClass) {
    _deviceClass = std::move(deviceClass);
}

void IORegistryDeviceNotifier::setTarget(std::shared_ptr<DeviceNotificationTarget> target) {
    _target = std::move(target);
}

void IORegistryDeviceNotifier::setAddedSelector(DeviceSelector selector) {
    _addedSelector = selector;
}

void IORegistryDeviceNotifier::setMultipleAddedSelector(MultipleDevicesSelector selector) {
    _multipleAddedSelector = selector;
}

void IORegistryDeviceNotifier::setRemovedSelector(DeviceSelector selector) {
    _removedSelector = selector;
}

void IORegistryDeviceNotifier::setMultipleRemovedSelector(MultipleDevicesSelector selector) {
    _multipleRemovedSelector = selector;
}

DeviceReturn IORegistryDeviceNotifier::registerForNotifications() {
    if (_registeredForNotifications) {
        return kDeviceReturnSuccess;
    }

    _notificationPort = _source ? _source->notificationPortCreate(kDefaultMasterPort) : 0;
    if (_notificationPort == 0) {
        logLine("failed to create notification port");
        return kDeviceReturnError;
    }

    // Events are delivered on this thread, from its run loop. A port whose
    // events could never be delivered is no port at all.
    RunLoop* loop = RunLoop::current();
    DeviceEventSource eventSource = _source->notificationPortEventSource(_notificationPort);
    if (loop == nullptr || eventSource.fd < 0) {
        destroyPort();
        logLine("failed to create notification port");
        return kDeviceReturnError;
    }
    _runLoopSourceId = loop->addSource(eventSource.fd, std::move(eventSource.dispatch));
    _runLoop = loop;

    PropertyDictionary matching;
    if (_deviceClass) {
        matching[kProviderClassKey] = *_deviceClass;
    }
    if (_deviceName) {
        matching[kNameMatchKey] = *_deviceName;
    }

    DeviceReturn result = _source->addMatchingNotification(
        _notificationPort, kFirstMatchNotification, matching, DeviceAdded, this, _addedIterator);
    if (result != kDeviceReturnSuccess) {
        logLine("failed to add device added notification");
        destroyPort();
        return result;
    }

    result = _source->addMatchingNotification(_notificationPort, kTerminateNotification, matching,
                                              DeviceRemoved, this, _removedIterator);
    if (result != kDeviceReturnSuccess) {
        logLine("failed to add device removed notification");
        destroyPort();
        // The arrival subscription is of no use without its port.
        _source->objectRelease(_addedIterator);
        _addedIterator = 0;
        return result;
    }

    DeviceAdded(this, _addedIterator);
    DeviceRemoved(this, _removedIterator);

    _registeredForNotifications = true;
    return kDeviceReturnSuccess;
}

void IORegistryDeviceNotifier::destroyPort() {
    if (_runLoop != nullptr) {
        _runLoop->removeSource(_runLoopSourceId);
        _runLoop = nullptr;
        _runLoopSourceId = 0;
    }
    if (_notificationPort != 0) {
        _source->notificationPortDestroy(_notificationPort);
        _notificationPort = 0;
    }
}

void IORegistryDeviceNotifier::unregisterForNotifications() {
    if (!_registeredForNotifications) {
        return;
    }
    destroyPort();
    _source->objectRelease(_addedIterator);
    _addedIterator = 0;
    _source->objectRelease(_removedIterator);
    _removedIterator = 0;
    _registeredForNotifications = false;
}

void IORegistryDeviceNotifier::invalidate() {
    setTarget(nullptr);
    unregisterForNotifications();
}

void IORegistryDeviceNotifier::resendAllAddedNotifications() {
    MasterPort master = kDefaultMasterPort;
    if (!_source || _source->masterPort(master) != kDeviceReturnSuccess) {
        logLine("IOMasterPort failed");
        return;
    }

    // Without a class there is nothing to match against: no dictionary.
    std::optional<PropertyDictionary> matching;
    if (_deviceClass) {
        matching = _source->serviceMatching(*_deviceClass);
    }
    if (!matching) {
        logLine("IOServiceMatching failed");
        return;
    }
    (*matching)[kSerialTypeKey] = std::string(kRS232SerialStream);

    ObjectHandle iterator = 0;
    if (_source->getMatchingServices(master, std::move(*matching), iterator) !=
        kDeviceReturnSuccess) {
        logLine("IOServiceGetMatchingServices failed");
        return;
    }

    DeviceAdded(this, iterator);
    _source->objectRelease(iterator);
}

void IORegistryDeviceNotifier::report(ObjectHandle iterator, DeviceSelector single,
                                      MultipleDevicesSelector multiple) {
    // The source and target stay alive for the whole report, even when a
    // callback drops the notifier's own references to them.
    std::shared_ptr<DeviceSource> source = _source;
    DeviceList devices;
    while (ObjectHandle device = source->iteratorNext(iterator)) {
        PropertyDictionary properties;
        if (source->createProperties(device, properties) == kDeviceReturnSuccess) {
            auto snapshot = std::make_shared<const PropertyDictionary>(std::move(properties));
            if (multiple != nullptr) {
                devices.push_back(std::move(snapshot));
            } else if (single != nullptr) {
                if (std::shared_ptr<DeviceNotificationTarget> target = _target) {
                    (target.get()->*single)(snapshot);
                }
            }
        }
        source->objectRelease(device);
    }
    if (multiple != nullptr) {
        if (std::shared_ptr<DeviceNotificationTarget> target = _target) {
            (target.get()->*multiple)(devices);
        }
    }
}

void DeviceAdded(void* context, ObjectHandle iterator) {
    auto* notifier = static_cast<IORegistryDeviceNotifier*>(context);
    std::shared_ptr<IORegistryDeviceNotifier> keepAlive = notifier->weak_from_this().lock();
    notifier->report(iterator, notifier->_addedSelector, notifier->_multipleAddedSelector);
}

void DeviceRemoved(void* context, ObjectHandle iterator) {
    auto* notifier = static_cast<IORegistryDeviceNotifier*>(context);
    std::shared_ptr<IORegistryDeviceNotifier> keepAlive = notifier->weak_from_this().lock();
    notifier->report(iterator, notifier->_removedSelector, notifier->_multipleRemovedSelector);
}
