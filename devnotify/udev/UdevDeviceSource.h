#pragma once

#include "SubscriptionRegistry.h"

#include <memory>
#include <optional>
#include <string>

// The device registry on udev: the serial terminals ("tty" subsystem) that
// have a real device behind them, each as an "IOSerialBSDClient" with these
// properties:
//
//   "IOProviderClass", "IOClass"  "IOSerialBSDClient"
//   "IOCalloutDevice"             the device node, e.g. /dev/ttyUSB0
//   "IOTTYDevice", "IONameMatch"  the kernel name, e.g. ttyUSB0
//   "IOTTYBaseName"               "usbserial-" and the serial number of the
//                                 USB device it sits on; without one, the
//                                 kernel name (usbserial-ttyS0)
//   "IOSerialBSDClientType"       "IOModemSerialStream" for CDC-ACM modems,
//                                 "IORS232SerialStream" for everything else
//   "USB Serial Number"           the USB serial number, when there is one
//   "Physical Port"               where the device is plugged in: udev's
//                                 ID_PATH (pci-0000:00:14.0-usb-0:2:1.0), or
//                                 the tty's sysfs path when udev has none
//
// Virtual terminals (no parent device) and UART slots of the 8250 driver with
// no UART behind them (type 0) are left out.
//
// Devices present now come from an enumeration; arrivals and removals from a
// monitor of udev's own events (after its rules have run). Each notification
// port has its own monitor, whose descriptor wakes the port's event source, and
// its own table of the devices it has seen arrive: a removal is reported with
// the properties the device had on arrival, since sysfs is gone by then.
//
// A failure of udev (no context, no monitor, a failed enumeration) makes the
// operation concerned fail with kDeviceReturnError (or no port); nothing
// throws. All operations may be called from any thread; callbacks run on the
// thread that calls the event source's dispatch, outside the source's lock.
class UdevDeviceSource : public SubscribingDeviceSource {
  public:
    UdevDeviceSource();
    ~UdevDeviceSource() override;
    UdevDeviceSource(const UdevDeviceSource&) = delete;
    UdevDeviceSource& operator=(const UdevDeviceSource&) = delete;

    // False when no udev context could be made: then every operation fails.
    bool isAvailable() const;

    NotificationPort notificationPortCreate(MasterPort master) override;
    DeviceReturn addMatchingNotification(NotificationPort port, const std::string& type,
                                         PropertyDictionary matching, MatchingCallback callback,
                                         void* context, ObjectHandle& iterator) override;
    DeviceReturn masterPort(MasterPort& master) override;
    std::optional<PropertyDictionary> serviceMatching(const std::string& deviceClass) override;
    DeviceReturn getMatchingServices(MasterPort master, PropertyDictionary matching,
                                     ObjectHandle& iterator) override;

  protected:
    void portDestroyed(NotificationPort port) override;

  private:
    struct State;
    std::shared_ptr<State> state_;
};
