#include <umockdev.h>

#include "EmulatedAdapter.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace qrbsim {

namespace {

constexpr const char* kUsbRoot = "/devices/pci0000:00/0000:00:14.0/usb1";
constexpr const char* kUartParent = "/devices/platform/serial8250";

[[noreturn]] void fail(const std::string& what, GError* error) {
    std::string message = what;
    if (error != nullptr) {
        message += ": ";
        message += error->message;
        g_error_free(error);
    }
    throw std::runtime_error(message);
}

// One device of an adapter: its devpath (/devices/...) and the lines of its
// description after the "P:" line. A shared device (the UART driver's
// platform device) is added only when missing and never removed.
struct DeviceEntry {
    std::string devpath;
    std::string body;
    bool shared = false;
};

std::string ttyBody(const AdapterDescription& description, bool withNode) {
    std::string body;
    if (withNode) {
        body += "N: " + description.ttyName + "\n";
    }
    body += "E: SUBSYSTEM=tty\n";
    body += "E: DEVNAME=/dev/" + description.ttyName + "\n";
    return body;
}

std::vector<DeviceEntry> devicesOf(const AdapterDescription& description, bool withNode) {
    const std::string& tty = description.ttyName;
    if (description.kind == AdapterKind::OnboardUart) {
        return {
            {kUartParent, "E: SUBSYSTEM=platform\nE: DRIVER=serial8250\n", true},
            {std::string(kUartParent) + "/tty/" + tty,
             ttyBody(description, withNode) + "A: type=4\nA: uartclk=1843200\n"},
        };
    }

    // The root hub and the hub the device hangs from, as the kernel shows
    // them: a hub's class, speed, ports and, at high speed, its device
    // protocol telling its transaction translators.
    std::vector<DeviceEntry> devices{
        {kUsbRoot,
         "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nA: bDeviceClass=09\n"
         "A: bDeviceProtocol=01\nA: speed=480\nA: maxchild=12\nA: product=USB 2.0 root hub\n",
         true}};
    std::string parent = kUsbRoot;
    if (description.hub) {
        const AdapterDescription::Hub& hub = *description.hub;
        parent += "/" + hub.usbPort;
        char protocol[8];
        std::snprintf(protocol, sizeof protocol, "%02x", hub.protocol);
        devices.push_back({parent,
                           "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                           "A: bDeviceClass=09\nA: bDeviceProtocol=" +
                               std::string(protocol) +
                               "\nA: speed=" + std::to_string(hub.speedMbps) + "\nA: maxchild=" +
                               std::to_string(hub.ports) + "\nA: product=" + hub.product + "\n",
                           true});
    }
    const std::string& port = description.usbPort;
    const std::string usbDevice = parent + "/" + port;
    const std::string interface = usbDevice + "/" + port + ":1.0";
    const bool modem = description.kind == AdapterKind::CdcAcmModem;
    // udev's persistent path of the port, as its path_id builtin makes it.
    const std::string idPath =
        "E: ID_PATH=pci-0000:00:14.0-usb-0:" + port.substr(port.find('-') + 1) + ":1.0\n";

    std::string usbBody = "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nA: speed=" +
                          std::to_string(description.usbSpeedMbps) + "\n";
    if (modem) {
        usbBody += "A: bDeviceClass=02\nA: product=USB Modem\n";
    } else {
        usbBody += "A: idVendor=0403\nA: idProduct=6001\nA: bDeviceClass=00\n"
                   "A: manufacturer=QRB\nA: product=USB Serial Converter\n";
    }
    if (description.usbSerialNumber) {
        usbBody += "A: serial=" + *description.usbSerialNumber + "\n";
    }

    devices.push_back({usbDevice, usbBody});
    if (modem) {
        devices.push_back({interface,
                           "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\n"
                           "A: bInterfaceClass=02\n"});
        devices.push_back({interface + "/tty/" + tty, ttyBody(description, withNode) + idPath});
    } else {
        devices.push_back({interface,
                           "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n"
                           "A: bInterfaceClass=ff\n"});
        devices.push_back({interface + "/" + tty,
                           "E: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\nA: latency_timer=16\n"});
        devices.push_back(
            {interface + "/" + tty + "/tty/" + tty, ttyBody(description, withNode) + idPath});
    }
    return devices;
}

gboolean answerIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client, gpointer data) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (request == TIOCEXCL || request == TIOCNXCL) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    if (data != nullptr && ConverterSerialSettings::handles(request)) {
        static_cast<ConverterSerialSettings*>(data)->answer(client);
        return TRUE;
    }
    return FALSE;
}

} // namespace

bool underUmockdev() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr;
}

UmockdevTestbed::UmockdevTestbed() : testbed_(umockdev_testbed_new()) {
    if (testbed_ == nullptr) {
        fail("umockdev_testbed_new failed", nullptr);
    }
}

UmockdevTestbed::~UmockdevTestbed() {
    g_object_unref(testbed_);
}

std::string UmockdevTestbed::rootDir() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string result = root != nullptr ? root : "";
    g_free(root);
    return result;
}

void UmockdevTestbed::addFromString(const std::string& description) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        fail("cannot add devices to the testbed", error);
    }
}

void UmockdevTestbed::uevent(const std::string& syspath, const std::string& action) {
    umockdev_testbed_uevent(testbed_, syspath.c_str(), action.c_str());
}

void UmockdevTestbed::setAttribute(const std::string& syspath, const std::string& name,
                                   const std::string& value) {
    umockdev_testbed_set_attribute(testbed_, syspath.c_str(), name.c_str(), value.c_str());
}

AdapterDescription qrbAdapter(const std::string& serialNumber, const std::string& ttyName,
                              const std::string& usbPort) {
    return {AdapterKind::UsbSerialConverter, ttyName, serialNumber, usbPort};
}

ExclusiveUseHandler::ExclusiveUseHandler(UmockdevTestbed& testbed, std::string node,
                                         ConverterSerialSettings* settings)
    : testbed_(testbed), node_(std::move(node)), handler_(umockdev_ioctl_base_new()) {
    g_signal_connect_data(handler_, "handle-ioctl", reinterpret_cast<GCallback>(answerIoctl),
                          settings, nullptr, G_CONNECT_DEFAULT);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_.get(), node_.c_str(), handler_, &error)) {
        g_object_unref(handler_);
        fail("cannot attach an ioctl handler to " + node_, error);
    }
}

ExclusiveUseHandler::~ExclusiveUseHandler() {
    umockdev_testbed_detach_ioctl(testbed_.get(), node_.c_str(), nullptr);
    g_object_unref(handler_);
}

EmulatedAdapter::EmulatedAdapter(UmockdevTestbed& testbed, AdapterDescription description)
    : testbed_(testbed), description_(std::move(description)),
      settings_(testbed, usbSerialSyspath(description_)) {}

EmulatedAdapter::~EmulatedAdapter() {
    if (ioctlHandler_ != nullptr) {
        umockdev_testbed_detach_ioctl(testbed_.get(), deviceNode().c_str(), nullptr);
        g_object_unref(ioctlHandler_);
    }
}

std::string EmulatedAdapter::describe(const AdapterDescription& description, bool withNode) {
    std::string text;
    for (const DeviceEntry& device : devicesOf(description, withNode)) {
        text += "P: " + device.devpath + "\n" + device.body + "\n";
    }
    return text;
}

std::string EmulatedAdapter::ttySyspath() const {
    return "/sys" + devicesOf(description_, false).back().devpath;
}

namespace {

// The adapter's own devices, without the shared ones it hangs from.
std::vector<DeviceEntry> ownDevicesOf(const AdapterDescription& description) {
    std::vector<DeviceEntry> devices = devicesOf(description, false);
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [](const DeviceEntry& device) { return device.shared; }),
                  devices.end());
    return devices;
}

} // namespace

std::string EmulatedAdapter::usbDeviceSyspath() const {
    if (description_.kind == AdapterKind::OnboardUart) {
        return {};
    }
    return "/sys" + ownDevicesOf(description_).front().devpath;
}

int EmulatedAdapter::masterFd() const {
    if (!everPlugged_) {
        return -1;
    }
    return umockdev_testbed_get_dev_fd(testbed_.get(), deviceNode().c_str());
}

void EmulatedAdapter::plugIn() {
    if (pluggedIn_) {
        return;
    }
    const std::string root = testbed_.rootDir();
    const std::string node = root + deviceNode();
    // umockdev makes a pty for a node only once per testbed: later plug-ins
    // put the link to the same pty back.
    if (everPlugged_ && ::symlink(ptyPath_.c_str(), node.c_str()) != 0) {
        fail("cannot restore " + node + ": " + std::strerror(errno), nullptr);
    }
    std::string text;
    for (const DeviceEntry& device : devicesOf(description_, !everPlugged_)) {
        if (device.shared && std::filesystem::exists(root + "/sys" + device.devpath)) {
            continue;
        }
        text += "P: " + device.devpath + "\n" + device.body + "\n";
    }
    testbed_.addFromString(text);
    settings_.setUnplugged(false);
    if (!everPlugged_) {
        std::error_code error;
        ptyPath_ = std::filesystem::read_symlink(node, error).string();
        if (error) {
            fail("no pty behind " + node, nullptr);
        }
    }
    everPlugged_ = true;
    pluggedIn_ = true;
    if (wantExclusive_) {
        attachIoctlHandler();
    }
}

void EmulatedAdapter::unplug() {
    if (!pluggedIn_) {
        return;
    }
    settings_.setUnplugged(true);
    std::vector<DeviceEntry> devices = devicesOf(description_, false);
    // The kernel reports children first; each device's own directory goes
    // (umockdev keeps a child's class link when only its parent is removed).
    for (auto device = devices.rbegin(); device != devices.rend(); ++device) {
        if (device->shared) {
            continue;
        }
        const std::string syspath = "/sys" + device->devpath;
        testbed_.uevent(syspath, "remove");
        umockdev_testbed_remove_device(testbed_.get(), syspath.c_str());
    }
    const std::string node = testbed_.rootDir() + deviceNode();
    ::unlink(node.c_str());
    pluggedIn_ = false;
}

void EmulatedAdapter::takeNodeOf(const EmulatedAdapter& departed) {
    if (departed.description_.ttyName != description_.ttyName || !departed.everPlugged_) {
        fail("cannot take the node of an adapter with another tty, or never plugged in", nullptr);
    }
    everPlugged_ = true;
    ptyPath_ = departed.ptyPath_;
}

void EmulatedAdapter::allowExclusiveOpen() {
    wantExclusive_ = true;
    if (pluggedIn_) {
        attachIoctlHandler();
    }
}

void EmulatedAdapter::attachIoctlHandler() {
    if (ioctlHandler_ != nullptr) {
        return;
    }
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect_data(handler, "handle-ioctl", reinterpret_cast<GCallback>(answerIoctl),
                          &settings_, nullptr, G_CONNECT_DEFAULT);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_.get(), deviceNode().c_str(), handler, &error)) {
        g_object_unref(handler);
        fail("cannot attach an ioctl handler to " + deviceNode(), error);
    }
    ioctlHandler_ = handler;
}

std::string EmulatedAdapter::usbSerialSyspath(const AdapterDescription& description) {
    if (description.kind != AdapterKind::UsbSerialConverter) {
        return {};
    }
    return "/sys" + ownDevicesOf(description)[2].devpath;
}

std::string EmulatedAdapter::latencyTimerPath() const {
    const std::string syspath = usbSerialSyspath(description_);
    return syspath.empty() ? syspath : testbed_.rootDir() + syspath + "/latency_timer";
}

void EmulatedAdapter::refuseSerialSettings(int error) {
    settings_.refuse(error);
}

unsigned EmulatedAdapter::latencyTimer() const {
    return settings_.latencyTimer();
}

unsigned EmulatedAdapter::serialSettingsRequests() const {
    return settings_.requests();
}

ConverterSerialSettings::ConverterSerialSettings(UmockdevTestbed& testbed,
                                                 std::string usbSerialSyspath)
    : testbed_(testbed), syspath_(std::move(usbSerialSyspath)) {}

bool ConverterSerialSettings::handles(unsigned long request) {
    return request == TIOCGSERIAL || request == TIOCSSERIAL;
}

void ConverterSerialSettings::setUnplugged(bool unplugged) {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = unplugged;
}

void ConverterSerialSettings::refuse(int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = error;
}

unsigned ConverterSerialSettings::latencyTimer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return (flags_ & ASYNC_LOW_LATENCY) != 0 ? 1 : latencyAttribute_;
}

unsigned ConverterSerialSettings::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ConverterSerialSettings::answer(void* ioctlClient) {
    auto* client = static_cast<UMockdevIoctlClient*>(ioctlClient);
    if (syspath_.empty()) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
    GError* error = nullptr;
    UMockdevIoctlData* settings = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                              0, sizeof(serial_struct), &error);
    if (settings == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    serial_struct value{};
    std::memcpy(&value, settings->data, sizeof value);

    std::unique_lock<std::mutex> lock(mutex_);
    int failure = 0;
    std::optional<unsigned> newTimer;
    if (unplugged_) {
        failure = EIO;
    } else if (umockdev_ioctl_client_get_request(client) == TIOCGSERIAL) {
        value = serial_struct{};
        value.type = PORT_16654;
        value.flags = static_cast<int>(flags_);
        value.xmit_fifo_size = 256;
        value.baud_base = 3000000; // 48 MHz / 16
        umockdev_ioctl_data_update(settings, 0, reinterpret_cast<guint8*>(&value), sizeof value);
    } else {
        ++requests_;
        const auto wanted = static_cast<unsigned>(value.flags);
        if (error_ != 0) {
            failure = error_;
        } else if (((wanted ^ flags_) & ~static_cast<unsigned>(ASYNC_USR_MASK)) != 0) {
            failure = EPERM; // the privileged flags: not for a user's process
        } else {
            const bool wasLow = (flags_ & ASYNC_LOW_LATENCY) != 0;
            flags_ = wanted & ASYNC_FLAGS;
            const bool low = (flags_ & ASYNC_LOW_LATENCY) != 0;
            if (low != wasLow) {
                newTimer = low ? 1 : latencyAttribute_;
            }
        }
    }
    lock.unlock();
    if (newTimer) {
        testbed_.setAttribute(syspath_, "latency_timer", std::to_string(*newTimer));
    }
    g_object_unref(settings);
    umockdev_ioctl_client_complete(client, failure != 0 ? -1 : 0, failure);
}

} // namespace qrbsim
