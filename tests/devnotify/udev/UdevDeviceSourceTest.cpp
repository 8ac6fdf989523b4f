// The udev device source against a umockdev testbed. Runs under
// umockdev-wrapper: the testbed is made before any udev use.

#include "EmulatedAdapter.h"
#include "FirmwareUpdaterException.h"
#include "IORegistryDeviceNotifier.h"
#include "LogCapture.h"
#include "PollRunLoop.h"
#include "Serial.h"
#include "UdevDeviceSource.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using qrbsim::AdapterDescription;
using qrbsim::AdapterKind;
using qrbsim::EmulatedAdapter;
using qrbsim::qrbAdapter;

constexpr auto kEventLimit = 5s; // never reached unless an event is lost

std::string baseName(const PropertyDictionary& properties) {
    const std::string* name = stringProperty(properties, "IOTTYBaseName");
    return name != nullptr ? *name : "?";
}

std::vector<std::string> baseNames(const std::vector<PropertyDictionary>& devices) {
    std::vector<std::string> names;
    for (const auto& device : devices) {
        names.push_back(baseName(device));
    }
    return names;
}

// What a subscription's callback saw: how often it was called, and on which
// iterator.
struct Subscription {
    int calls = 0;
    ObjectHandle iterator = 0;
};

// Reads up to size bytes from fd, waiting at most a few seconds for them.
ssize_t readSome(int fd, void* buffer, size_t size) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1) {
        return -1;
    }
    return ::read(fd, buffer, size);
}

void countCall(void* context, ObjectHandle iterator) {
    auto* subscription = static_cast<Subscription*>(context);
    ++subscription->calls;
    subscription->iterator = iterator;
}

class UdevSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(qrbsim::underUmockdev())
            << "run this test under umockdev-wrapper, never on the real /sys";
    }

    // Everything the iterator holds now, with each handle released.
    std::vector<PropertyDictionary> drain(ObjectHandle iterator) {
        std::vector<PropertyDictionary> devices;
        while (ObjectHandle device = source->iteratorNext(iterator)) {
            PropertyDictionary properties;
            EXPECT_EQ(source->createProperties(device, properties), kDeviceReturnSuccess);
            devices.push_back(std::move(properties));
            EXPECT_EQ(source->objectRelease(device), kDeviceReturnSuccess);
        }
        return devices;
    }

    std::vector<PropertyDictionary> present(PropertyDictionary matching) {
        MasterPort master = kDefaultMasterPort;
        EXPECT_EQ(source->masterPort(master), kDeviceReturnSuccess);
        ObjectHandle iterator = 0;
        EXPECT_EQ(source->getMatchingServices(master, std::move(matching), iterator),
                  kDeviceReturnSuccess);
        std::vector<PropertyDictionary> devices = drain(iterator);
        EXPECT_EQ(source->objectRelease(iterator), kDeviceReturnSuccess);
        return devices;
    }

    // A port on the loop with both subscriptions, drained and armed.
    NotificationPort openPort(Subscription& added, Subscription& removed,
                              ObjectHandle& addedIterator, ObjectHandle& removedIterator,
                              std::vector<PropertyDictionary>* presentNow = nullptr) {
        NotificationPort port = source->notificationPortCreate(kDefaultMasterPort);
        EXPECT_NE(port, 0u);
        DeviceEventSource events = source->notificationPortEventSource(port);
        EXPECT_GE(events.fd, 0);
        loopSource = loop.addSource(events.fd, std::move(events.dispatch));
        PropertyDictionary matching{{kProviderClassKey, std::string("IOSerialBSDClient")}};
        EXPECT_EQ(source->addMatchingNotification(port, kFirstMatchNotification, matching,
                                                  countCall, &added, addedIterator),
                  kDeviceReturnSuccess);
        EXPECT_EQ(source->addMatchingNotification(port, kTerminateNotification, matching, countCall,
                                                  &removed, removedIterator),
                  kDeviceReturnSuccess);
        std::vector<PropertyDictionary> devices = drain(addedIterator);
        if (presentNow != nullptr) {
            *presentNow = devices;
        }
        EXPECT_TRUE(drain(removedIterator).empty());
        return port;
    }

    void closePort(NotificationPort port, ObjectHandle addedIterator,
                   ObjectHandle removedIterator) {
        loop.removeSource(loopSource);
        source->notificationPortDestroy(port);
        EXPECT_EQ(source->objectRelease(addedIterator), kDeviceReturnSuccess);
        EXPECT_EQ(source->objectRelease(removedIterator), kDeviceReturnSuccess);
    }

    // Declared first: the testbed outlives every udev user below.
    qrbsim::UmockdevTestbed testbed;
    std::shared_ptr<UdevDeviceSource> source = std::make_shared<UdevDeviceSource>();
    testing_support::PollRunLoop loop;
    testing_support::CurrentRunLoop current{&loop};
    testing_support::LogCapture log;
    RunLoop::SourceId loopSource = 0;
};

const PropertyDictionary kSerialClients{{kProviderClassKey, std::string("IOSerialBSDClient")}};

TEST_F(UdevSourceTest, EnumerationGivesEveryRealTerminalWithItsProperties) {
    EmulatedAdapter qrb(testbed, qrbAdapter());
    EmulatedAdapter modem(testbed, {AdapterKind::CdcAcmModem, "ttyACM0", "MDM7", "1-2"});
    EmulatedAdapter anonymous(testbed, {AdapterKind::UsbSerialConverter, "ttyUSB1", {}, "1-3"});
    EmulatedAdapter uart(testbed, {AdapterKind::OnboardUart, "ttyS0", {}, {}});
    for (EmulatedAdapter* adapter : {&qrb, &modem, &anonymous, &uart}) {
        adapter->plugIn();
    }
    // Neither a virtual terminal nor a UART slot without a UART is a device.
    testbed.addFromString("P: /devices/virtual/tty/tty0\nN: tty0\nE: SUBSYSTEM=tty\n"
                          "E: DEVNAME=/dev/tty0\n\n"
                          "P: /devices/platform/serial8250/tty/ttyS1\nN: ttyS1\n"
                          "E: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS1\nA: type=0\n");
    ASSERT_TRUE(source->isAvailable());

    std::vector<PropertyDictionary> devices = present(kSerialClients);
    std::set<std::string> names;
    for (const auto& device : devices) {
        names.insert(baseName(device));
    }
    EXPECT_EQ(names, (std::set<std::string>{"usbserial-QRB00042", "usbserial-MDM7",
                                            "usbserial-ttyUSB1", "usbserial-ttyS0"}));

    auto find = [&](const std::string& name) {
        for (const auto& device : devices) {
            if (baseName(device) == name) {
                return device;
            }
        }
        return PropertyDictionary{};
    };
    auto expectClient = [&](const std::string& name, const std::string& node,
                            const std::string& type) {
        PropertyDictionary device = find(name);
        EXPECT_EQ(device["IOProviderClass"], PropertyValue(std::string("IOSerialBSDClient")))
            << name;
        EXPECT_EQ(device["IOCalloutDevice"], PropertyValue(node)) << name;
        EXPECT_EQ(device["IOSerialBSDClientType"], PropertyValue(type)) << name;
    };
    expectClient("usbserial-QRB00042", "/dev/ttyUSB0", "IORS232SerialStream");
    expectClient("usbserial-MDM7", "/dev/ttyACM0", "IOModemSerialStream");
    expectClient("usbserial-ttyUSB1", "/dev/ttyUSB1", "IORS232SerialStream");
    expectClient("usbserial-ttyS0", "/dev/ttyS0", "IORS232SerialStream");
    EXPECT_EQ(find("usbserial-QRB00042")["IOTTYDevice"], PropertyValue(std::string("ttyUSB0")));

    // A one-time query narrowed to RS-232 streams leaves the modem out.
    PropertyDictionary rs232 = kSerialClients;
    rs232["IOSerialBSDClientType"] = std::string("IORS232SerialStream");
    EXPECT_EQ(present(rs232).size(), 3u);
    // Another class matches nothing.
    EXPECT_TRUE(present(*source->serviceMatching("IOUSBDevice")).empty());
}

TEST_F(UdevSourceTest, ArrivalsAndRemovalsComeThroughTheRunLoop) {
    Subscription added, removed;
    ObjectHandle addedIterator = 0, removedIterator = 0;
    std::vector<PropertyDictionary> initial;
    NotificationPort port = openPort(added, removed, addedIterator, removedIterator, &initial);
    EXPECT_TRUE(initial.empty());

    EmulatedAdapter qrb(testbed, qrbAdapter());
    qrb.plugIn();
    ASSERT_TRUE(loop.runUntil([&] { return added.calls == 1; }, kEventLimit));
    EXPECT_EQ(added.iterator, addedIterator);
    std::vector<PropertyDictionary> arrived = drain(addedIterator);
    ASSERT_EQ(baseNames(arrived), std::vector<std::string>{"usbserial-QRB00042"});
    EXPECT_EQ(removed.calls, 0);

    // The removal carries the arrival properties, not what sysfs says late.
    testbed.setAttribute(qrb.usbDeviceSyspath(), "serial", "CHANGED");
    qrb.unplug();
    ASSERT_TRUE(loop.runUntil([&] { return removed.calls == 1; }, kEventLimit));
    std::vector<PropertyDictionary> gone = drain(removedIterator);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0], arrived[0]);
    EXPECT_TRUE(present(kSerialClients).empty());

    // Plugged in again: a new arrival.
    qrb.plugIn();
    ASSERT_TRUE(loop.runUntil([&] { return added.calls == 2; }, kEventLimit));
    EXPECT_EQ(drain(addedIterator), arrived);

    closePort(port, addedIterator, removedIterator);
}

TEST_F(UdevSourceTest, ASubscriptionFiresAgainOnlyAfterItsIteratorWasDrained) {
    Subscription added, removed;
    ObjectHandle addedIterator = 0, removedIterator = 0;
    NotificationPort port = openPort(added, removed, addedIterator, removedIterator);

    EmulatedAdapter first(testbed, qrbAdapter("QRB00001", "ttyUSB0", "1-1"));
    EmulatedAdapter second(testbed, qrbAdapter("QRB00002", "ttyUSB1", "1-2"));
    first.plugIn();
    ASSERT_TRUE(loop.runUntil([&] { return added.calls == 1; }, kEventLimit));
    // Not drained: the next arrival waits in the iterator without a call.
    second.plugIn();
    loop.runOnce(100ms);
    loop.drain();
    EXPECT_EQ(added.calls, 1);
    EXPECT_EQ(baseNames(drain(addedIterator)),
              (std::vector<std::string>{"usbserial-QRB00001", "usbserial-QRB00002"}));

    // A repeated "add" of a known device, a "change", and the removal of a
    // terminal that never counted are no events.
    testbed.uevent(first.ttySyspath(), "add");
    testbed.uevent(first.ttySyspath(), "change");
    testbed.addFromString("P: /devices/virtual/tty/tty5\nE: SUBSYSTEM=tty\n"
                          "E: DEVNAME=/dev/tty5\n");
    testbed.uevent("/sys/devices/virtual/tty/tty5", "remove");
    loop.runOnce(100ms);
    loop.drain();
    EXPECT_EQ(added.calls + removed.calls, 1);
    // An "add" that differs from the known device stands for a lost removal.
    testbed.setAttribute(second.usbDeviceSyspath(), "serial", "QRB00003");
    testbed.uevent(second.ttySyspath(), "add");
    first.unplug();
    ASSERT_TRUE(loop.runUntil([&] { return removed.calls == 1; }, kEventLimit));
    EXPECT_EQ(added.calls, 2);
    EXPECT_EQ(baseNames(drain(removedIterator)),
              (std::vector<std::string>{"usbserial-QRB00002", "usbserial-QRB00001"}));
    EXPECT_EQ(baseNames(drain(addedIterator)), std::vector<std::string>{"usbserial-QRB00003"});

    closePort(port, addedIterator, removedIterator);
}

TEST_F(UdevSourceTest, HandlesAndPortsFollowTheReleaseDiscipline) {
    EmulatedAdapter qrb(testbed, qrbAdapter());
    qrb.plugIn();

    NotificationPort port = source->notificationPortCreate(kDefaultMasterPort);
    ASSERT_NE(port, 0u);
    Subscription added;
    ObjectHandle iterator = 0;
    EXPECT_EQ(
        source->addMatchingNotification(port, "IOServiceMatched", {}, countCall, &added, iterator),
        kDeviceReturnError);
    EXPECT_EQ(source->addMatchingNotification(port + 1, kFirstMatchNotification, {}, countCall,
                                              &added, iterator),
              kDeviceReturnError);
    EXPECT_EQ(source->notificationPortEventSource(port + 1).fd, -1);
    ASSERT_EQ(source->addMatchingNotification(port, kFirstMatchNotification, {}, countCall, &added,
                                              iterator),
              kDeviceReturnSuccess);

    ObjectHandle device = source->iteratorNext(iterator);
    ASSERT_NE(device, 0u);
    PropertyDictionary properties;
    EXPECT_EQ(source->createProperties(iterator, properties), kDeviceReturnError);
    EXPECT_EQ(source->objectRelease(device), kDeviceReturnSuccess);
    EXPECT_EQ(source->createProperties(device, properties), kDeviceReturnError);
    EXPECT_EQ(source->objectRelease(device), kDeviceReturnError);
    EXPECT_EQ(source->iteratorNext(iterator), 0u);

    // After the port is gone no callback comes, but its iterator stays a
    // handle until released; a dispatch held past the source's end is inert.
    DeviceEventSource events = source->notificationPortEventSource(port);
    source->notificationPortDestroy(port);
    qrb.unplug();
    EmulatedAdapter(testbed, qrbAdapter("QRB00009", "ttyUSB3", "1-4")).plugIn();
    events.dispatch();
    EXPECT_EQ(added.calls, 0);
    EXPECT_EQ(source->iteratorNext(iterator), 0u);
    EXPECT_EQ(source->objectRelease(iterator), kDeviceReturnSuccess);
    EXPECT_EQ(source->objectRelease(iterator), kDeviceReturnError);
    source.reset();
    events.dispatch();
}

// The real notifier over the udev source, as the updater uses it.
class Recorder : public DeviceNotificationTarget {
  public:
    void added(const DeviceList& devices) { record("added", devices); }
    void removed(const DeviceList& devices) { record("removed", devices); }
    std::vector<std::pair<std::string, std::vector<std::string>>> reports;

  private:
    void record(const std::string& kind, const DeviceList& devices) {
        std::vector<std::string> names;
        for (const auto& device : devices) {
            names.push_back(baseName(*device));
        }
        reports.emplace_back(kind, std::move(names));
    }
};
using Report = std::pair<std::string, std::vector<std::string>>;

// The notifier as the updater makes it, on the process's device source.
std::shared_ptr<IORegistryDeviceNotifier> serialNotifier(std::shared_ptr<Recorder> recorder) {
    return IORegistryDeviceNotifier::notifierForDevicesNamed(
        std::nullopt, "IOSerialBSDClient", std::move(recorder),
        multipleDevicesSelector(&Recorder::added), multipleDevicesSelector(&Recorder::removed));
}

TEST_F(UdevSourceTest, TheNotifierReportsPresentDevicesArrivalsAndRemovals) {
    EmulatedAdapter qrb(testbed, qrbAdapter("QRB00042", "ttyUSB0", "1-1"));
    EmulatedAdapter modem(testbed, {AdapterKind::CdcAcmModem, "ttyACM0", "MDM7", "1-2"});
    qrb.plugIn();
    modem.plugIn();
    setDefaultDeviceSource(source);
    auto recorder = std::make_shared<Recorder>();

    auto notifier = serialNotifier(recorder);
    ASSERT_NE(notifier, nullptr);
    EXPECT_EQ(recorder->reports,
              (std::vector<Report>{{"added", {"usbserial-QRB00042", "usbserial-MDM7"}},
                                   {"removed", {}}}));

    EmulatedAdapter wmx(testbed, qrbAdapter("WMX00007", "ttyUSB1", "1-3"));
    wmx.plugIn();
    ASSERT_TRUE(loop.runUntil([&] { return recorder->reports.size() == 3; }, kEventLimit));
    EXPECT_EQ(recorder->reports.back(), (Report{"added", {"usbserial-WMX00007"}}));

    // The rescan reports RS-232 streams only.
    notifier->resendAllAddedNotifications();
    EXPECT_EQ(recorder->reports.back(),
              (Report{"added", {"usbserial-QRB00042", "usbserial-WMX00007"}}));

    qrb.unplug();
    ASSERT_TRUE(loop.runUntil([&] { return recorder->reports.size() == 5; }, kEventLimit));
    EXPECT_EQ(recorder->reports.back(), (Report{"removed", {"usbserial-QRB00042"}}));

    notifier->invalidate();
    EXPECT_EQ(loop.sourceCount(), 0u);
    EXPECT_TRUE(log.lines().empty());
    setDefaultDeviceSource(nullptr);
}

TEST_F(UdevSourceTest, AReplugBeforeTheLoopRunsIsReportedAsRemovalThenArrival) {
    EmulatedAdapter qrb(testbed, qrbAdapter());
    qrb.plugIn();
    setDefaultDeviceSource(source);
    auto recorder = std::make_shared<Recorder>();
    auto notifier = serialNotifier(recorder);
    ASSERT_NE(notifier, nullptr);
    recorder->reports.clear();

    qrb.unplug();
    qrb.plugIn();
    ASSERT_TRUE(loop.runUntil([&] { return recorder->reports.size() == 2; }, kEventLimit));
    EXPECT_EQ(recorder->reports, (std::vector<Report>{{"removed", {"usbserial-QRB00042"}},
                                                      {"added", {"usbserial-QRB00042"}}}));
    notifier->invalidate();
    setDefaultDeviceSource(nullptr);
}

TEST_F(UdevSourceTest, TheSerialLayerOpensAnEmulatedAdapter) {
    EmulatedAdapter qrb(testbed, qrbAdapter());
    qrb.plugIn();
    // Without help umockdev refuses TIOCEXCL on its nodes.
    try {
        serInit(qrb.deviceNode().c_str(), kFirmwareBaudRate);
        serClose();
        ADD_FAILURE() << "TIOCEXCL unexpectedly accepted";
    } catch (const SerialException& exception) {
        EXPECT_EQ(exception.name(), "SerialTIOCEXCLError.");
    }

    qrb.allowExclusiveOpen();
    ASSERT_NO_THROW(serInit(qrb.deviceNode().c_str(), kBootloaderBaudRate));
    const int master = qrb.masterFd();
    ASSERT_GE(master, 0);
    const uint8_t hello[] = {0x55, 0xAA};
    serQueueTxBytes(hello, sizeof hello);
    uint8_t received[2] = {};
    ASSERT_EQ(readSome(master, received, sizeof received), 2);
    EXPECT_EQ(received[1], 0xAA);
    ASSERT_EQ(::write(master, "\x42", 1), 1);
    EXPECT_EQ(rxByte(), 0x42);
    serClose();
}

} // namespace
