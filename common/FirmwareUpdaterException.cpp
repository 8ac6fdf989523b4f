#include "FirmwareUpdaterException.h"

#include "StringFormat.h"

#include <cstdarg>
#include <utility>

FirmwareUpdaterException::FirmwareUpdaterException(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)), what_(name_ + ": " + reason_) {}

#define QRB_DEFINE_RAISE(Class)                                                                    \
    void Class::raise(const char* name, const char* format, ...) {                                 \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        std::string reason = vformatString(format, args);                                          \
        va_end(args);                                                                              \
        throw Class(name, std::move(reason));                                                      \
    }

QRB_DEFINE_RAISE(FirmwareUpdaterException)
QRB_DEFINE_RAISE(BootloaderException)
QRB_DEFINE_RAISE(SerialException)

void SerialException::raiseWithErrorNumber(int errorNumber, const char* name, const char* format,
                                           ...) {
    va_list args;
    va_start(args, format);
    std::string reason = vformatString(format, args);
    va_end(args);
    throw SerialException(name, std::move(reason), errorNumber);
}

namespace {

constexpr SerialFailure kSerialFailures[] = {
    SerialFailure::Open,    SerialFailure::ExclusiveUse, SerialFailure::Send,
    SerialFailure::Receive, SerialFailure::Select,       SerialFailure::Timeout,
};

SerialFailure serialFailureNamed(const std::string& name) {
    for (const SerialFailure kind : kSerialFailures) {
        if (name == serialFailureName(kind)) {
            return kind;
        }
    }
    return SerialFailure::Other;
}

} // namespace

const char* serialFailureName(SerialFailure kind) {
    switch (kind) {
    case SerialFailure::Open:
        return "SerialOpenError";
    case SerialFailure::ExclusiveUse:
        return "SerialTIOCEXCLError.";
    case SerialFailure::Send:
        return "SerialCommSendError";
    case SerialFailure::Receive:
        return "SerialCommReceiveError";
    case SerialFailure::Select:
        return "SerialSelectError.";
    case SerialFailure::Timeout:
        return "SerialCommTimeoutError";
    case SerialFailure::Other:
        break;
    }
    return "SerialError";
}

SerialException::SerialException(std::string name, std::string reason, int errorNumber)
    : FirmwareUpdaterException(name, std::move(reason)), kind_(serialFailureNamed(name)),
      errorNumber_(errorNumber) {}

void SerialException::raise(SerialFailure kind, int errorNumber, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string reason = vformatString(format, args);
    va_end(args);
    throw SerialException(kind, std::move(reason), errorNumber);
}
