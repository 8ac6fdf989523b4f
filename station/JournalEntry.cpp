#include "JournalEntry.h"

#include "StationEvents.h"
#include "StringFormat.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

std::string journalSocketPath() {
    const char* path = std::getenv("QRB_JOURNAL_SOCKET");
    return path != nullptr && *path != '\0' ? path : kSystemJournalSocket;
}

const char* journalMessageId(BoardResult result) {
    switch (result) {
    case BoardResult::Updated:
        return "1585e8f55dba4371a6927dc5bf44d89c";
    case BoardResult::Current:
        return "ffaa3a39152e4007858be2a993ff369a";
    case BoardResult::Skipped:
        return "62fee70085964fc2a008de227c0b14dd";
    case BoardResult::Failed:
        return "9f5cb7e086fc4233a20dca9e4938208d";
    }
    return "";
}

std::vector<std::string> journalFieldsOf(const BoardOutcome& outcome,
                                         const std::optional<std::string>& imageSha256) {
    const bool failed = outcome.result == BoardResult::Failed;
    std::vector<std::string> fields{
        std::string("MESSAGE_ID=") + journalMessageId(outcome.result),
        "MESSAGE=" + resultText(outcome),
        formatString("PRIORITY=%d", failed ? LOG_ERR : LOG_NOTICE),
        "SYSLOG_IDENTIFIER=qrb-flash",
        "QRB_TTY=" + outcome.identity.tty,
        "QRB_PORT=" + outcome.identity.port,
    };
    const auto add = [&](const char* name, const std::optional<std::string>& value) {
        if (value && !value->empty()) {
            fields.push_back(std::string(name) + "=" + *value);
        }
    };
    add("QRB_SERIAL", outcome.identity.serial);
    fields.push_back(std::string("QRB_RESULT=") + boardResultName(outcome.result));
    add("QRB_FROM", outcome.from);
    add("QRB_TO", outcome.to);
    if (failed) {
        add("QRB_ERROR", outcome.error);
        add("QRB_STEP", outcome.step);
    }
    add("QRB_IMAGE_SHA256", imageSha256);
    fields.push_back(formatString("QRB_SECONDS=%.1f", outcome.seconds));
    add("QRB_TRACE", outcome.trace);
    return fields;
}

std::string journalDatagram(const std::vector<std::string>& fields) {
    std::string datagram;
    for (const std::string& field : fields) {
        const std::size_t equals = field.find('=');
        if (equals == std::string::npos || field.find('\n') == std::string::npos) {
            datagram += field + '\n';
            continue;
        }
        const std::string value = field.substr(equals + 1);
        datagram += field.substr(0, equals) + '\n';
        std::uint64_t size = value.size();
        for (int i = 0; i < 8; ++i) {
            datagram += static_cast<char>(size & 0xFF);
            size >>= 8;
        }
        datagram += value + '\n';
    }
    return datagram;
}

namespace {

bool sendDatagram(const std::string& datagram, const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const ssize_t sent = ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
    return sent == static_cast<ssize_t>(datagram.size());
}

} // namespace

bool sendJournalEntry(const std::vector<std::string>& fields, const std::string& socketPath) {
    struct stat status {};
    if (::stat(socketPath.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) {
        return false;
    }
    if (socketPath != kSystemJournalSocket) {
        return sendDatagram(journalDatagram(fields), socketPath);
    }
    std::vector<iovec> vectors;
    vectors.reserve(fields.size());
    for (const std::string& field : fields) {
        vectors.push_back({const_cast<char*>(field.data()), field.size()});
    }
    return sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) == 0;
}
