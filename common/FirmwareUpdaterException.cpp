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
