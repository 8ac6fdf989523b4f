#pragma once

#include "IORegistryDeviceNotifier.h"
#include "LogCapture.h"
#include "MemoryDeviceSource.h"
#include "PollRunLoop.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace devnotify_tests {

inline PropertyDictionary serialDevice(const std::string& baseName,
                                       const std::string& type = "IORS232SerialStream") {
    return {{"IOProviderClass", std::string("IOSerialBSDClient")},
            {"IOTTYBaseName", baseName},
            {"IOCalloutDevice", "/dev/tty." + baseName},
            {"IOSerialBSDClientType", type},
            {"IOTTYDevice", std::int64_t{4}},
            {"IOSerialIsInternal", false}};
}

// One report as the target saw it: which callback, and the base names of the
// devices it carried.
struct Report {
    std::string kind;
    std::vector<std::string> names;
    std::thread::id thread;
    bool operator==(const Report& other) const {
        return kind == other.kind && names == other.names;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Report& report) {
    out << report.kind << "[";
    for (const auto& name : report.names) {
        out << name << " ";
    }
    return out << "]";
}

class Recorder : public DeviceNotificationTarget {
  public:
    void added(const DeviceProperties& device) { record("added", {device}); }
    void removed(const DeviceProperties& device) { record("removed", {device}); }
    void multipleAdded(const DeviceList& devices) { record("multipleAdded", devices); }
    void multipleRemoved(const DeviceList& devices) { record("multipleRemoved", devices); }

    std::vector<Report> reports;
    std::vector<DeviceProperties> snapshots; // every dictionary received
    std::function<void()> onReport;          // runs after each report is recorded

  private:
    void record(const std::string& kind, const DeviceList& devices) {
        Report report{kind, {}, std::this_thread::get_id()};
        for (const auto& device : devices) {
            const std::string* name = stringProperty(*device, "IOTTYBaseName");
            report.names.push_back(name ? *name : "?");
            snapshots.push_back(device);
        }
        reports.push_back(std::move(report));
        if (onReport) {
            onReport();
        }
    }
};

inline const DeviceSelector kAdded = deviceSelector(&Recorder::added);
inline const DeviceSelector kRemoved = deviceSelector(&Recorder::removed);
inline const MultipleDevicesSelector kMultipleAdded =
    multipleDevicesSelector(&Recorder::multipleAdded);
inline const MultipleDevicesSelector kMultipleRemoved =
    multipleDevicesSelector(&Recorder::multipleRemoved);

// A memory registry as the process default, a run loop current on the test's
// thread, and the log captured.
class DeviceTest : public ::testing::Test {
  protected:
    DeviceTest() { setDefaultDeviceSource(source); }
    ~DeviceTest() override { setDefaultDeviceSource(nullptr); }

    std::shared_ptr<IORegistryDeviceNotifier> batchNotifier() {
        return IORegistryDeviceNotifier::notifierForDevicesNamed(
            std::nullopt, "IOSerialBSDClient", recorder, kMultipleAdded, kMultipleRemoved);
    }
    std::shared_ptr<IORegistryDeviceNotifier> singleNotifier() {
        return IORegistryDeviceNotifier::notifierForDevicesNamed(std::nullopt, "IOSerialBSDClient",
                                                                 recorder, kAdded, kRemoved);
    }
    void runLoop() { loop.drain(); }

    std::shared_ptr<MemoryDeviceSource> source = std::make_shared<MemoryDeviceSource>();
    testing_support::PollRunLoop loop;
    testing_support::CurrentRunLoop current{&loop};
    testing_support::LogCapture log;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

} // namespace devnotify_tests
