#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A PostgreSQL server of its own, for the bench and the tests: a cluster made
// with initdb in a temporary directory and run with pg_ctl, reached only on a
// Unix socket in that directory (no TCP), trusting every local connection.
// PostgreSQL refuses to run as root, so a root process runs it as the user
// nobody (through setpriv). Every failure throws std::runtime_error with the
// server's own words; nothing is skipped.
class ScratchServer {
  public:
    struct Settings {
        bool durable = true; // fsync as a real server (off for quick tests)
    };
    explicit ScratchServer(Settings settings);
    ScratchServer() : ScratchServer(Settings{}) {}
    ~ScratchServer();
    ScratchServer(const ScratchServer&) = delete;
    ScratchServer& operator=(const ScratchServer&) = delete;

    // A connection string for database on this server.
    std::string url(const std::string& database = "postgres") const;
    // A new empty database; returns its connection string.
    std::string createDatabase(const std::string& database);
    // Runs sql on database; the first column of the first row ("" when none).
    std::string query(const std::string& sql, const std::string& database = "postgres") const;

    // Ends the server at once, as a crash would (pg_ctl's immediate mode).
    void kill();
    // Starts it again on the same data and socket.
    void start();
    bool running() const { return running_; }
    const std::string& directory() const { return directory_; }

  private:
    void runAsOwner(const std::string& what, const std::vector<std::string>& command) const;

    Settings settings_;
    std::string bin_;
    std::string directory_;
    bool asNobody_ = false;
    bool running_ = false;
};
