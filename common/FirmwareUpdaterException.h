#pragma once

#include <exception>
#include <string>

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

// Failures of the serial port.
class SerialException : public FirmwareUpdaterException {
  public:
    using FirmwareUpdaterException::FirmwareUpdaterException;
    [[noreturn]] static void raise(const char* name, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
};
