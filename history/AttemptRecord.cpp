#include "AttemptRecord.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <random>
#include <unistd.h>

const char* attemptFrontName(AttemptFront front) {
    switch (front) {
    case AttemptFront::Desktop:
        return "desktop";
    case AttemptFront::Station:
        return "station";
    }
    return "desktop";
}

const char* attemptCaseName(AttemptCase versionCase) {
    switch (versionCase) {
    case AttemptCase::Older:
        return "older";
    case AttemptCase::Corrupt:
        return "corrupt";
    case AttemptCase::Same:
        return "same";
    case AttemptCase::Newer:
        return "newer";
    }
    return "older";
}

const char* attemptResultName(AttemptResult result) {
    switch (result) {
    case AttemptResult::Updated:
        return "updated";
    case AttemptResult::Failed:
        return "failed";
    case AttemptResult::Current:
        return "current";
    case AttemptResult::Skipped:
        return "skipped";
    case AttemptResult::Declined:
        return "declined";
    }
    return "failed";
}

std::string formatHistoryTime(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string newAttemptId() {
    unsigned char bytes[16];
    std::size_t got = 0;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && got < sizeof bytes) {
        const ssize_t n = ::read(fd, bytes + got, sizeof bytes - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    if (got < sizeof bytes) {
        std::random_device device;
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(device());
        }
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // the RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string defaultStationName() {
    if (const char* name = std::getenv("QRB_STATION"); name != nullptr && *name != '\0') {
        return name;
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
        return "localhost";
    }
    return host;
}

std::string currentOperatorName() {
    const uid_t uid = ::geteuid();
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && *found->pw_name != '\0') {
        return found->pw_name;
    }
    return std::to_string(uid);
}
