#pragma once

#include "DeviceSource.h"
#include "PropertyDictionary.h"

#include <memory>
#include <optional>
#include <string>

class RunLoop;

// Base of every object that receives device reports. A report calls one of
// its member functions (a selector, below) with one argument.
class DeviceNotificationTarget {
  public:
    virtual ~DeviceNotificationTarget() = default;
};

// Selectors: member functions of the target taking one device (the single
// callbacks) or one batch (the multiple callbacks); nullptr stands for none.
// A derived class's member converts with static_cast, or with the helpers
// below; the target given to the notifier must then be of that class.
using DeviceSelector = void (DeviceNotificationTarget::*)(const DeviceProperties&);
using MultipleDevicesSelector = void (DeviceNotificationTarget::*)(const DeviceList&);

template <class T> DeviceSelector deviceSelector(void (T::*member)(const DeviceProperties&)) {
    return static_cast<DeviceSelector>(member);
}
template <class T>
MultipleDevicesSelector multipleDevicesSelector(void (T::*member)(const DeviceList&)) {
    return static_cast<MultipleDevicesSelector>(member);
}

// Watches the device registry (the process's default device source) for
// devices of one class and/or one name and reports each one that arrives or
// goes away to a target: one call per device, or one call per batch with the
// devices' property snapshots, depending on which callbacks are given.
//
// Reports run on the thread that registered, from its run loop
// (RunLoop::current() at registration), and during registration itself. The
// notifier has no locks: use it from that one thread.
class IORegistryDeviceNotifier : public std::enable_shared_from_this<IORegistryDeviceNotifier> {
  public:
    // The factories: a registered notifier, or nullptr when device name and
    // class are both none, the target is none, both added or both removed
    // callbacks are none, or registration fails. Every device present now is
    // reported before they return.
    static std::shared_ptr<IORegistryDeviceNotifier> notifierForDevicesNamed(
        std::optional<std::string> deviceName, std::optional<std::string> deviceClass,
        std::shared_ptr<DeviceNotificationTarget> target, DeviceSelector deviceAddedSelector,
        MultipleDevicesSelector multipleDevicesAddedSelector, DeviceSelector deviceRemovedSelector,
        MultipleDevicesSelector multipleDevicesRemovedSelector);
    // Single-device callbacks only.
    static std::shared_ptr<IORegistryDeviceNotifier> notifierForDevicesNamed(
        std::optional<std::string> deviceName, std::optional<std::string> deviceClass,
        std::shared_ptr<DeviceNotificationTarget> target, DeviceSelector deviceAddedSelector,
        DeviceSelector deviceRemovedSelector);
    // Batch callbacks only.
    static std::shared_ptr<IORegistryDeviceNotifier>
    notifierForDevicesNamed(std::optional<std::string> deviceName,
                            std::optional<std::string> deviceClass,
                            std::shared_ptr<DeviceNotificationTarget> target,
                            MultipleDevicesSelector multipleDevicesAddedSelector,
                            MultipleDevicesSelector multipleDevicesRemovedSelector);

    // Stores the seven values; checks nothing and does not register.
    IORegistryDeviceNotifier(std::optional<std::string> deviceName,
                             std::optional<std::string> deviceClass,
                             std::shared_ptr<DeviceNotificationTarget> target, DeviceSelector added,
                             MultipleDevicesSelector multipleAdded, DeviceSelector removed,
                             MultipleDevicesSelector multipleRemoved);
    // Unregisters first when registered.
    ~IORegistryDeviceNotifier();

    IORegistryDeviceNotifier(const IORegistryDeviceNotifier&) = delete;
    IORegistryDeviceNotifier& operator=(const IORegistryDeviceNotifier&) = delete;

    const std::optional<std::string>& deviceName() const { return _deviceName; }
    void setDeviceName(std::optional<std::string> deviceName);
    const std::optional<std::string>& deviceClass() const { return _deviceClass; }
    void setDeviceClass(std::optional<std::string> deviceClass);
    const std::shared_ptr<DeviceNotificationTarget>& target() const { return _target; }
    void setTarget(std::shared_ptr<DeviceNotificationTarget> target);
    DeviceSelector addedSelector() const { return _addedSelector; }
    void setAddedSelector(DeviceSelector selector);
    MultipleDevicesSelector multipleAddedSelector() const { return _multipleAddedSelector; }
    void setMultipleAddedSelector(MultipleDevicesSelector selector);
    DeviceSelector removedSelector() const { return _removedSelector; }
    void setRemovedSelector(DeviceSelector selector);
    MultipleDevicesSelector multipleRemovedSelector() const { return _multipleRemovedSelector; }
    void setMultipleRemovedSelector(MultipleDevicesSelector selector);

    bool isRegisteredForNotifications() const { return _registeredForNotifications; }

    // Subscribes to arrivals and removals and reports every matching device
    // present now. 0 on success (also when already registered), else the
    // registry's return code.
    DeviceReturn registerForNotifications();
    // Gives up the port, its run-loop source and both iterators; does nothing
    // when not registered.
    void unregisterForNotifications();
    // Drops the target, then unregisters: no report reaches the old target
    // afterwards.
    void invalidate();
    // Reports again, through the added callbacks, every RS-232 serial device
    // of deviceClass present now ("IOSerialBSDClientType" equal to
    // "IORS232SerialStream"); deviceName is not used. Works whether or not
    // registered. Without a device class it reports nothing.
    void resendAllAddedNotifications();

  private:
    friend void DeviceAdded(void* context, ObjectHandle iterator);
    friend void DeviceRemoved(void* context, ObjectHandle iterator);

    void report(ObjectHandle iterator, DeviceSelector single, MultipleDevicesSelector multiple);
    void destroyPort();

    std::optional<std::string> _deviceName;
    std::optional<std::string> _deviceClass;
    std::shared_ptr<DeviceNotificationTarget> _target;
    DeviceSelector _addedSelector = nullptr;
    MultipleDevicesSelector _multipleAddedSelector = nullptr;
    DeviceSelector _removedSelector = nullptr;
    MultipleDevicesSelector _multipleRemovedSelector = nullptr;
    bool _registeredForNotifications = false;
    NotificationPort _notificationPort = 0;
    ObjectHandle _addedIterator = 0;
    ObjectHandle _removedIterator = 0;

    // The registry this notifier talks to (the default one when created), and
    // where the port's event source was added.
    std::shared_ptr<DeviceSource> _source;
    RunLoop* _runLoop = nullptr;
    int _runLoopSourceId = 0;
};

// The registry callbacks of the two subscriptions; the context is the
// notifier. The notifier also calls them itself.
void DeviceAdded(void* context, ObjectHandle iterator);
void DeviceRemoved(void* context, ObjectHandle iterator);
