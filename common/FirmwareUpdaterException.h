#pragma once

#include <exception>
#include <string>
#include <utility>

// The family of failures raised by the updater. Every failure has a fixed
// identifier (its name, e.g. "SerialOpenError") and a human-readable reason.
// Catch sites catch FirmwareUpdaterException and, where they must tell
// failures apart, test the class and compare the name exactly.
class FirmwareUpdaterException : public std::exception {
  public:
    FirmwareUpdaterException(std::string name, std::string reason);

    const std::string& name() const noexcept { return name_; }
    const std::string& reason() const noexcept { return reason_; }

    // "name: reason"
    const char* what() const noexcept override { return what_.c_str(); }

    // Builds the reason from a printf-style format and throws, in one step.
    [[noreturn]] static void raise(const char* name, const char* format, ...)
        __attribute__((format(printf, 2, 3)));

  private:
    std::string name_;
    std::string reason_;
    std::string what_;
};

// Failures of the bootloader protocol and of the image file reader.
class BootloaderException : public FirmwareUpdaterException {
  public:
    using FirmwareUpdaterException::FirmwareUpdaterException;
    [[noreturn]] static void raise(const char* name, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
};

// What went wrong on the serial port. Each kind has its one name, which the
// log shows; callers that tell failures apart test the kind.
enum class SerialFailure {
    Open,         // "SerialOpenError": open(2) failed
    ExclusiveUse, // "SerialTIOCEXCLError.": the exclusive-use request failed
    Send,         // "SerialCommSendError": not every byte was written
    Receive,      // "SerialCommReceiveError": a read failed or the line ended
    Select,       // "SerialSelectError.": the wait for input failed
    Timeout,      // "SerialCommTimeoutError": the bound of an exchange ran out
    Other,        // a name outside this list
};

// The name of a kind of failure, byte for byte.
const char* serialFailureName(SerialFailure kind);

// Failures of the serial port. A failure of a system call also keeps its
// errno (0 for the others), so that a caller can tell a device it may not
// open from one that another program holds without parsing the reason.
class SerialException : public FirmwareUpdaterException {
  public:
    SerialException(SerialFailure kind, std::string reason, int errorNumber = 0)
        : FirmwareUpdaterException(serialFailureName(kind), std::move(reason)), kind_(kind),
          errorNumber_(errorNumber) {}
    // The kind is the one whose name this is (Other for none).
    SerialException(std::string name, std::string reason, int errorNumber = 0);

    SerialFailure kind() const noexcept { return kind_; }
    int errorNumber() const noexcept { return errorNumber_; }

    [[noreturn]] static void raise(const char* name, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    // Builds the reason from the format and throws a failure of kind with
    // errorNumber (0: none), in one step.
    [[noreturn]] static void raise(SerialFailure kind, int errorNumber, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // As raise, keeping errorNumber with the failure.
    [[noreturn]] static void raiseWithErrorNumber(int errorNumber, const char* name,
                                                  const char* format, ...)
        __attribute__((format(printf, 3, 4)));

  private:
    SerialFailure kind_ = SerialFailure::Other;
    int errorNumber_ = 0;
};
