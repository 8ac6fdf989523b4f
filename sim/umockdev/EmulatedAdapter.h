#pragma once

#include <mutex>
#include <optional>
#include <string>

// Deliberately free of glib headers, so that Qt code can include it.
typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace qrbsim {

// True when the process runs under umockdev-wrapper, i.e. its preload
// library redirects /sys, /dev and udev's event socket into a testbed.
bool underUmockdev();

// A umockdev testbed: a private sysfs and /dev for this process and the
// programs it starts (they find it through $UMOCKDEV_DIR). Make it before
// anything uses udev, and keep it until every udev user (monitors, device
// sources) is gone. The process that owns it must itself run under
// umockdev-wrapper, also when only a child program watches the devices:
// otherwise its uevents reach nobody. Raises std::runtime_error when
// umockdev fails.
class UmockdevTestbed {
  public:
    UmockdevTestbed();
    ~UmockdevTestbed();
    UmockdevTestbed(const UmockdevTestbed&) = delete;
    UmockdevTestbed& operator=(const UmockdevTestbed&) = delete;

    UMockdevTestbed* get() const { return testbed_; }
    // The directory standing in for "/", holding sys/ and dev/.
    std::string rootDir() const;

    // Adds devices from a description in umockdev's record format (a "P:"
    // line per device, then "E:" properties, "A:" attributes, "N:" node).
    // Each device gets an "add" uevent, parents first.
    void addFromString(const std::string& description);
    // Sends a uevent ("add", "remove", "change") for a device by its sysfs
    // path (/sys/devices/...).
    void uevent(const std::string& syspath, const std::string& action);
    // Sets a sysfs attribute of a device by its sysfs path.
    void setAttribute(const std::string& syspath, const std::string& name,
                      const std::string& value);

  private:
    UMockdevTestbed* testbed_;
};

enum class AdapterKind {
    UsbSerialConverter, // a USB serial converter (ftdi_sio), ttyUSBn
    CdcAcmModem,        // a USB CDC-ACM modem (cdc_acm), ttyACMn
    OnboardUart,        // a 16550A UART of the 8250 driver, ttySn
};

struct AdapterDescription {
    AdapterKind kind = AdapterKind::UsbSerialConverter;
    std::string ttyName = "ttyUSB0";
    // The USB device's `serial` attribute; none leaves the attribute out.
    // Not used for an on-board UART.
    std::optional<std::string> usbSerialNumber = "QRB00042";
    // The USB port path of the device ("1-1"), unique among the testbed's
    // USB devices. Not used for an on-board UART.
    std::string usbPort = "1-1";
    // The device's USB speed in Mbit/s (its `speed` attribute): converters
    // and modems of this kind run at full speed.
    unsigned usbSpeedMbps = 12;
    // The hub the device hangs from. Without one it sits on a port of the
    // host controller's root hub (usb1); with one, usbPort must name a port
    // of that hub ("1-3.2" behind the hub at "1-3").
    struct Hub {
        std::string usbPort = "1-3";
        unsigned speedMbps = 480;
        // The hub's bDeviceProtocol: at high speed 1 for a single
        // transaction translator, 2 for one per port; 0 at full speed.
        unsigned protocol = 1;
        unsigned ports = 4;
        std::string product = "USB 2.0 Hub";
    };
    std::optional<Hub> hub = std::nullopt;
};

// A QRB adapter: a USB serial converter whose serial number starts with QRB.
AdapterDescription qrbAdapter(const std::string& serialNumber = "QRB00042",
                              const std::string& ttyName = "ttyUSB0",
                              const std::string& usbPort = "1-1");

// Answers TIOCEXCL and TIOCNXCL on a node of the testbed (e.g. "/dev/ttyUSB0")
// with success, while it lives: umockdev fails the ioctls it does not know
// with ENOTTY, and the serial layer needs exclusive use. Other ioctls go on to
// the terminal. With settings, the serial settings of a USB serial
// converter's driver are answered too. For a node made by other means than an
// EmulatedAdapter (whose allowExclusiveOpen does the same). Raises
// std::runtime_error when umockdev fails.
class ConverterSerialSettings;
class ExclusiveUseHandler {
  public:
    ExclusiveUseHandler(UmockdevTestbed& testbed, std::string node,
                        ConverterSerialSettings* settings = nullptr);
    ~ExclusiveUseHandler();
    ExclusiveUseHandler(const ExclusiveUseHandler&) = delete;
    ExclusiveUseHandler& operator=(const ExclusiveUseHandler&) = delete;

  private:
    UmockdevTestbed& testbed_;
    std::string node_;
    UMockdevIoctlBase* handler_;
};

// The serial settings of a USB serial converter's driver, answered as
// ftdi_sio answers them: TIOCGSERIAL reports the flags, TIOCSSERIAL changes
// those an unprivileged user may change (others: EPERM). ASYNC_LOW_LATENCY
// makes the latency timer 1 ms; clearing it puts back the timer of the
// `latency_timer` attribute (16 ms). The attribute, on the usb-serial device,
// shows the timer in force, as the driver's does. For an ioctl handler of a
// testbed; thread-safe (umockdev runs the handlers on a thread of its own).
class ConverterSerialSettings {
  public:
    // usbSerialSyspath: the device whose attribute shows the timer; empty
    // for a device without serial settings, where both requests fail ENOTTY.
    ConverterSerialSettings(UmockdevTestbed& testbed, std::string usbSerialSyspath);

    // Whether request is TIOCGSERIAL or TIOCSSERIAL.
    static bool handles(unsigned long request);
    // Answers and completes one such request of a UMockdevIoctlClient.
    void answer(void* ioctlClient);

    // From now on TIOCSSERIAL fails with error, as with a driver that refuses.
    void refuse(int error);
    // While the adapter is unplugged both requests fail with EIO, as on a
    // tty whose device has gone (the attribute has gone with it).
    void setUnplugged(bool unplugged);
    // The latency timer in force, in ms.
    unsigned latencyTimer() const;
    // TIOCSSERIAL requests answered so far, refused ones included.
    unsigned requests() const;

  private:
    UmockdevTestbed& testbed_;
    std::string syspath_;
    mutable std::mutex mutex_;
    unsigned flags_ = 0;
    unsigned latencyAttribute_ = 16;
    unsigned requests_ = 0;
    bool unplugged_ = false;
    int error_ = 0;
};

// A serial device in a testbed whose tty node is a pty: the program under
// test opens deviceNode() (e.g. /dev/ttyUSB0) and talks to whoever holds
// masterFd(), typically a board simulator. It starts unplugged.
//
//     UmockdevTestbed testbed;                 // before any udev use
//     EmulatedAdapter adapter(testbed, qrbAdapter());
//     adapter.allowExclusiveOpen();            // serInit needs TIOCEXCL
//     adapter.plugIn();                        // "add" uevents; node appears
//     ... simulator on adapter.masterFd() ...
//     adapter.unplug();                        // "remove" uevents; node gone
//
// An adapter may be plugged in again after unplugging; it keeps its pty (and
// masterFd()) for the testbed's life. Unplugging removes the node but does
// not hang up a descriptor that is open on it. Raises std::runtime_error
// when umockdev fails.
class EmulatedAdapter {
  public:
    EmulatedAdapter(UmockdevTestbed& testbed, AdapterDescription description);
    // Leaves the devices in the testbed; they go with it.
    ~EmulatedAdapter();
    EmulatedAdapter(const EmulatedAdapter&) = delete;
    EmulatedAdapter& operator=(const EmulatedAdapter&) = delete;

    // Adds the adapter's devices (USB device, interface, port, tty) and the
    // node, with an "add" uevent for each, parents first; the root hub and
    // the adapter's hub too, when the testbed has them not yet (they stay
    // when the adapter is unplugged). Does nothing when plugged in.
    void plugIn();
    // A "remove" uevent for each device, tty first; then the devices and the
    // node go. Does nothing when not plugged in.
    void unplug();
    bool isPluggedIn() const { return pluggedIn_; }
    // This adapter gets the tty node of one that was unplugged (and whose
    // object is gone, or goes before this one is plugged in), as the kernel
    // gives a freed ttyUSB name to the next adapter: a testbed makes a node
    // only once. Before the first plugIn; the tty names must be the same.
    void takeNodeOf(const EmulatedAdapter& departed);

    // Makes TIOCEXCL and TIOCNXCL on the node succeed (umockdev fails ioctls
    // it does not know with ENOTTY); other ioctls go on to the pty. Takes
    // effect at once or, before the first plugIn, from then on.
    void allowExclusiveOpen();

    // A USB serial converter's serial settings, answered by the same ioctl
    // handler as ftdi_sio answers them: TIOCGSERIAL reports the flags,
    // TIOCSSERIAL changes those an unprivileged user may change (others:
    // EPERM). ASYNC_LOW_LATENCY makes the latency timer 1 ms; clearing it
    // puts back the timer of the `latency_timer` attribute (16 ms). The
    // attribute, on the usb-serial device, shows the timer in force, as the
    // driver's does. Other kinds of adapter answer ENOTTY, as a pty does.
    //
    // From now on TIOCSSERIAL fails with error, as a driver that refuses.
    void refuseSerialSettings(int error);
    // The latency timer in force, in ms (16 until the host asks otherwise).
    unsigned latencyTimer() const;
    // TIOCSSERIAL requests answered so far, refused ones included.
    unsigned serialSettingsRequests() const;
    // The file of the `latency_timer` attribute in the testbed; empty for
    // adapters other than a USB serial converter.
    std::string latencyTimerPath() const;

    const AdapterDescription& description() const { return description_; }
    std::string deviceNode() const { return "/dev/" + description_.ttyName; }
    std::string ttySyspath() const;
    // The USB device's sysfs path; empty for an on-board UART.
    std::string usbDeviceSyspath() const;
    // The testbed's side of the pty; -1 before the first plugIn. Owned by the
    // testbed: never close it.
    int masterFd() const;

    // The adapter's devices in umockdev's record format, parents first;
    // withNode adds the "N:" line that makes umockdev create a pty node.
    static std::string describe(const AdapterDescription& description, bool withNode);

    // The usb-serial device of a USB serial converter (/sys/devices/...),
    // which holds the driver's attributes; empty for other kinds.
    static std::string usbSerialSyspath(const AdapterDescription& description);

  private:
    void attachIoctlHandler();

    UmockdevTestbed& testbed_;
    AdapterDescription description_;
    bool pluggedIn_ = false;
    bool everPlugged_ = false;
    bool wantExclusive_ = false;
    UMockdevIoctlBase* ioctlHandler_ = nullptr;
    std::string ptyPath_; // where the node links to, kept while unplugged
    ConverterSerialSettings settings_;
};

} // namespace qrbsim
