#pragma once

#include "BoardOutcome.h"

#include <optional>
#include <string>
#include <vector>

// A board's result as one structured journal entry: MESSAGE_ID (one per
// result, explained in the message catalog packaging/qrb-flash.catalog),
// MESSAGE, PRIORITY (an error for a failure), SYSLOG_IDENTIFIER=qrb-flash and
// the QRB_* fields, so that `journalctl -t qrb-flash QRB_SERIAL=QRB00042`
// finds a board. The log lines go on as before beside it.

// The journal's socket, where the entries go: $QRB_JOURNAL_SOCKET when set
// (another journal, or a test's), else the system journal's.
inline constexpr const char* kSystemJournalSocket = "/run/systemd/journal/socket";
std::string journalSocketPath();

// The 128-bit message id of a result, as 32 hexadecimal digits.
const char* journalMessageId(BoardResult result);

// The entry's fields, each "NAME=value"; a field whose value is unknown is
// left out.
std::vector<std::string> journalFieldsOf(const BoardOutcome& outcome,
                                         const std::optional<std::string>& imageSha256);

// The fields in the journal's native datagram form: "NAME=value\n", or for a
// value with a line break, the name, a line break, the value's length as 64
// bits little-endian, the value and a line break.
std::string journalDatagram(const std::vector<std::string>& fields);

// Sends the entry when the socket at socketPath exists (nothing otherwise):
// to the system journal through sd_journal_sendv, to another socket as one
// datagram in the same form. False when nothing was sent.
bool sendJournalEntry(const std::vector<std::string>& fields,
                      const std::string& socketPath = journalSocketPath());
