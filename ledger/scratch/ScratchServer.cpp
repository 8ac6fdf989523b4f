#include "ScratchServer.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// The newest PostgreSQL of /usr/lib/postgresql/N/bin, else pg_ctl in PATH.
std::string findBinaries() {
    std::string best;
    int bestVersion = -1;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit) &&
            fs::exists(entry.path() / "bin" / "initdb") && std::stoi(name) > bestVersion) {
            bestVersion = std::stoi(name);
            best = (entry.path() / "bin").string();
        }
    }
    if (best.empty()) {
        throw std::runtime_error("no PostgreSQL server found in /usr/lib/postgresql/*/bin "
                                 "(Debian's package postgresql; scripts/install-deps.sh installs "
                                 "it)");
    }
    return best;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

ScratchServer::ScratchServer(Settings settings)
    : settings_(settings), bin_(findBinaries()), asNobody_(::geteuid() == 0) {
    // In /tmp whatever TMPDIR says: the user nobody must reach it, and the
    // socket's path must stay short (a Unix socket's name has 107 bytes).
    std::string pattern = "/tmp/qrb-ledger-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory for the server");
    }
    directory_ = pattern;
    if (asNobody_ && ::chown(directory_.c_str(), kNobody, kNobody) != 0) {
        throw std::runtime_error("cannot give " + directory_ + " to nobody");
    }
    runAsOwner("initdb", {bin_ + "/initdb", "-D", directory_ + "/data", "-U", "qrb", "-A", "trust",
                          "-E", "UTF8", "--locale=C", "--no-sync"});
    start();
}

ScratchServer::~ScratchServer() {
    if (running_) {
        try {
            runAsOwner("pg_ctl stop", {bin_ + "/pg_ctl", "-D", directory_ + "/data", "-m",
                                       "immediate", "-w", "stop"});
        } catch (const std::exception&) {
        }
    }
    std::error_code error;
    fs::remove_all(directory_, error);
}

void ScratchServer::runAsOwner(const std::string& what,
                               const std::vector<std::string>& command) const {
    std::vector<std::string> argv;
    if (asNobody_) {
        argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    argv.insert(argv.end(), command.begin(), command.end());
    const std::string output = directory_ + "/" + "command.out";
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> pointers;
        for (std::string& word : argv) {
            pointers.push_back(word.data());
        }
        pointers.push_back(nullptr);
        ::setenv("LC_ALL", "C", 1);
        ::unsetenv("PGDATA");
        FILE* log = std::fopen(output.c_str(), "w");
        if (log != nullptr) {
            ::dup2(fileno(log), 1);
            ::dup2(fileno(log), 2);
        }
        if (::chdir(directory_.c_str()) != 0) {
            ::_exit(126);
        }
        ::execvp(pointers[0], pointers.data());
        ::_exit(127);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0) {
    }
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string text = readFile(output);
        if (fs::exists(directory_ + "/server.log")) {
            text += "\nserver log:\n" + readFile(directory_ + "/server.log");
        }
        throw std::runtime_error("the scratch PostgreSQL server: " + what + " failed (status " +
                                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                                 "): " + text);
    }
}

void ScratchServer::start() {
    std::string options = "-k " + directory_ +
                          " -c listen_addresses='' -p 5432"
                          " -c max_connections=60 -c unix_socket_permissions=0777";
    if (!settings_.durable) {
        // A crash of the server alone loses nothing the system has: commits
        // still wait for their log to be written (not synced).
        options += " -c fsync=off -c full_page_writes=off";
    }
    runAsOwner("pg_ctl start",
               {bin_ + "/pg_ctl", "-D", directory_ + "/data", "-l", directory_ + "/server.log",
                "-w", "-t", "60", "-o", options, "start"});
    running_ = true;
}

void ScratchServer::kill() {
    runAsOwner("pg_ctl stop",
               {bin_ + "/pg_ctl", "-D", directory_ + "/data", "-m", "immediate", "-w", "stop"});
    running_ = false;
}

std::string ScratchServer::url(const std::string& database) const {
    return "host=" + directory_ + " port=5432 user=qrb dbname=" + database;
}

std::string ScratchServer::query(const std::string& sql, const std::string& database) const {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(url(database).c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        throw std::runtime_error("cannot reach the scratch server: " +
                                 std::string(PQerrorMessage(conn.get())));
    }
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()), PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        throw std::runtime_error("the scratch server refused \"" + sql +
                                 "\": " + PQerrorMessage(conn.get()));
    }
    if (status == PGRES_TUPLES_OK && PQntuples(result.get()) > 0 && PQnfields(result.get()) > 0 &&
        !PQgetisnull(result.get(), 0, 0)) {
        return PQgetvalue(result.get(), 0, 0);
    }
    return {};
}

std::string ScratchServer::createDatabase(const std::string& database) {
    query("CREATE DATABASE " + database);
    return url(database);
}
