#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The update history as the ledger's outbox: the rows not yet forwarded, in
// the order they were committed, and the record of those that were. Rows are
// never changed; a forwarded row gets a line in the table beside them.
// Every failure is a FirmwareUpdaterException named "HistoryOutboxError".

// The columns of a forwarded row, in the order of OutboxRow::values; the
// names are the ledger's (the local attempt_id is the ledger's id).
extern const char* const kOutboxColumns[];
extern const std::size_t kOutboxColumnCount;

struct OutboxRow {
    long long row = 0; // the local row number
    // Per kOutboxColumns; absent for unknown (NULL). seconds as decimal text.
    std::vector<std::optional<std::string>> values;
};

struct OutboxStatus {
    long long backlog = 0;               // rows waiting
    std::optional<std::string> lastPush; // when a row was last forwarded, as stored
};

class HistoryOutbox {
  public:
    // Opens the history at path. A file that does not exist is an empty
    // outbox (nothing is created); an older schema is brought up to date.
    explicit HistoryOutbox(const std::string& path);
    ~HistoryOutbox();
    HistoryOutbox(const HistoryOutbox&) = delete;
    HistoryOutbox& operator=(const HistoryOutbox&) = delete;

    // Up to limit rows waiting, oldest first, from after the row number
    // after (0: from the first).
    std::vector<OutboxRow> waiting(std::size_t limit, long long after = 0);
    // Records these rows as forwarded now, in one transaction (a row already
    // recorded stays as it was).
    void markForwarded(const std::vector<long long>& rows);
    OutboxStatus status();

  private:
    struct sqlite3* db_ = nullptr;
    std::string path_;
};
