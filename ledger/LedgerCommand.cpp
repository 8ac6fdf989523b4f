#include "LedgerCommand.h"

#include "History.h"
#include "HistoryOutbox.h"
#include "Ledger.h"
#include "LedgerUrl.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>

namespace {

constexpr int kUsageError = 64;

constexpr const char* kUsage =
    "usage: qrb-flash ledger init [--ledger URL]\n"
    "       qrb-flash ledger push [--history PATH] [--ledger URL]\n"
    "       qrb-flash ledger status [--json] [--history PATH] [--ledger URL]\n";

struct Options {
    std::string verb;
    std::string url;
    std::string history;
    bool json = false;
};

struct Usage {
    std::string message;
};

Options parse(const std::vector<std::string>& args) {
    if (args.empty()) {
        throw Usage{"ledger needs a command: init, push or status"};
    }
    Options options;
    options.verb = args[0];
    if (options.verb != "init" && options.verb != "push" && options.verb != "status") {
        throw Usage{"unknown ledger command \"" + options.verb + "\""};
    }
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string word = args[i];
        std::optional<std::string> attached;
        if (word.starts_with("--") && word.find('=') != std::string::npos) {
            attached = word.substr(word.find('=') + 1);
            word = word.substr(0, word.find('='));
        }
        const auto value = [&]() -> std::string {
            if (attached) {
                return *attached;
            }
            if (i + 1 >= args.size()) {
                throw Usage{word + " needs a value"};
            }
            return args[++i];
        };
        if (word == "--ledger") {
            options.url = value();
            if (options.url.empty()) {
                throw Usage{"--ledger needs a connection string or URI"};
            }
        } else if (word == "--history" && options.verb != "init") {
            options.history = value();
            if (options.history.empty()) {
                throw Usage{"--history needs a file"};
            }
        } else if (word == "--json" && options.verb == "status" && !attached) {
            options.json = true;
        } else {
            throw Usage{"unknown argument \"" + redactLedgerText(args[i]) + "\" for ledger " +
                        options.verb};
        }
    }
    return options;
}

int exitFor(const LedgerException& failure) {
    switch (failure.kind()) {
    case LedgerFailure::Unreachable:
        return kLedgerExitUnreachable;
    case LedgerFailure::UnknownSchema:
        return kLedgerExitSchema;
    case LedgerFailure::Refused:
        return 1;
    }
    return 1;
}

int runInit(const Options& options, std::ostream& out) {
    LedgerConnection ledger(options.url);
    const int before = ledger.initialize();
    if (before == kLedgerSchemaVersion) {
        out << "The ledger's schema is up to date (version " << kLedgerSchemaVersion << ").\n";
    } else if (before == 0) {
        out << "The ledger's schema is created (version " << kLedgerSchemaVersion << ").\n";
    } else {
        out << "The ledger's schema is brought from version " << before << " to "
            << kLedgerSchemaVersion << ".\n";
    }
    return 0;
}

int runPush(const Options& options, std::ostream& out, std::ostream& err) {
    try {
        LedgerConnection ledger(options.url);
        const PushResult result = pushHistory(ledger, options.history);
        out << "Forwarded " << result.sent << (result.sent == 1 ? " row" : " rows")
            << " to the ledger (" << result.new_ << " new); " << result.waiting << " waiting.\n";
        return result.waiting == 0 ? 0 : 1;
    } catch (const LedgerException& failure) {
        long long waiting = -1;
        try {
            waiting = HistoryOutbox(options.history).status().backlog;
        } catch (const FirmwareUpdaterException&) {
        }
        err << "qrb-flash: " << failure.reason() << ".";
        if (waiting >= 0) {
            err << " " << waiting << (waiting == 1 ? " row waits" : " rows wait") << " in "
                << options.history << ".";
        }
        err << "\n";
        return exitFor(failure);
    }
}

int runStatus(const Options& options, std::ostream& out) {
    const OutboxStatus status = HistoryOutbox(options.history).status();
    std::optional<bool> reachable;
    std::string problem;
    if (!options.url.empty()) {
        try {
            LedgerConnection ledger(options.url);
            reachable = true;
        } catch (const LedgerException& failure) {
            reachable = false;
            problem = failure.reason();
        }
    }
    if (options.json) {
        nlohmann::ordered_json line = {
            {"history", options.history}, {"backlog", status.backlog}, {"last_push", nullptr}};
        if (status.lastPush) {
            line["last_push"] = *status.lastPush;
        }
        if (reachable) {
            line["ledger"] = redactLedgerText(options.url);
            line["reachable"] = *reachable;
        }
        out << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
        return 0;
    }
    out << "history:   " << options.history << '\n'
        << "backlog:   " << status.backlog << (status.backlog == 1 ? " row" : " rows")
        << " waiting\n"
        << "last_push: " << status.lastPush.value_or("never") << '\n';
    if (reachable) {
        out << "ledger:    " << redactLedgerText(options.url) << ", "
            << (*reachable ? "reachable" : "not reachable: " + problem) << '\n';
    }
    return 0;
}

} // namespace

int runLedgerCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options options;
    try {
        if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
            out << kUsage;
            return 0;
        }
        options = parse(args);
    } catch (const Usage& usage) {
        err << "qrb-flash: " << usage.message << "\n" << kUsage;
        return kUsageError;
    }
    options.url = ledgerUrlOrDefault(options.url);
    if (options.history.empty()) {
        options.history = defaultHistoryPath();
    }
    if (options.url.empty() && options.verb != "status") {
        err << "qrb-flash: no ledger: give --ledger URL or set QRB_LEDGER\n";
        return kUsageError;
    }
    try {
        if (options.verb == "init") {
            return runInit(options, out);
        }
        if (options.verb == "push") {
            return runPush(options, out, err);
        }
        return runStatus(options, out);
    } catch (const LedgerException& failure) {
        err << "qrb-flash: " << failure.reason() << "\n";
        return exitFor(failure);
    } catch (const FirmwareUpdaterException& failure) {
        err << "qrb-flash: " << failure.reason() << "\n";
        return 1;
    }
}
