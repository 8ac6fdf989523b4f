#include "StationCommand.h"

#include "BoardSequence.h"
#include "Doctor.h"
#include "FileDigest.h"
#include "FirmwareUpdaterException.h"
#include "History.h"
#include "HistoryCommand.h"
#include "HistoryOutbox.h"
#include "ImageProof.h"
#include "LedgerCommand.h"
#include "LedgerUrl.h"
#include "MetricsServer.h"
#include "Station.h"
#include "StationEvents.h"
#include "TraceFiles.h"
#include "TraceShow.h"
#include "UpdateConfiguration.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>

namespace {

constexpr const char* kUsage =
    "Usage: qrb-flash [OPTION]...          update every QRB Box attached now, then exit\n"
    "       qrb-flash --watch [OPTION]...  update each board as it is plugged in, until stopped\n"
    "       qrb-flash list [--json]        list the attached boards, touching none\n"
    "       qrb-flash history [--json | --csv] [--serial SERIAL] [--station NAME]\n"
    "                         [--since YYYY-MM-DD] [--limit N] [--ledger URL]\n"
    "                                      the update history (or the ledger's), newest last\n"
    "       qrb-flash trace show FILE      print a serial trace as a readable exchange\n"
    "       qrb-flash doctor [--json] [--port TTY]...\n"
    "                                      what a station needs to know of each adapter\n"
    "       qrb-flash ledger init|push|status [--history PATH] [--ledger URL]\n"
    "                                      the shared ledger: its schema, forwarding, backlog\n"
    "\n"
    "Options:\n"
    "  --json              one JSON object per line on standard output\n"
    "  --config PLIST      the update configuration (default: the desktop updater's)\n"
    "  --allow-reinstall   update boards that already have the image's version\n"
    "  --allow-older       update boards that have a newer version\n"
    "  --jobs N            at most N boards at once (default: all)\n"
    "  --port TTY          only this tty (repeatable); a tty udev does not list is taken as it is\n"
    "  --history PATH      record each board in this update history (default:\n"
    "                      $QRB_HISTORY, else $XDG_STATE_HOME/qrb-updater/history.db,\n"
    "                      else ~/.local/state/qrb-updater/history.db)\n"
    "  --station NAME      the station's name in the history (default: $QRB_STATION, else\n"
    "                      the host name)\n"
    "  --ledger URL        forward each board's row to this PostgreSQL ledger (a libpq\n"
    "                      connection string or URI; default: $QRB_LEDGER)\n"
    "  --trace             keep the serial trace of every attempt (failed ones are always\n"
    "                      kept, in $XDG_STATE_HOME/qrb-updater/traces)\n"
    "  --watch             station mode: SIGINT, SIGTERM or SIGHUP stops taking boards,\n"
    "                      a second SIGINT ends at once\n"
    "  --metrics ADDR:PORT with --watch: serve /metrics (Prometheus text) on this address,\n"
    "                      e.g. 127.0.0.1:9464 or [::1]:9464\n"
    "  --help              this text\n"
    "  --version           the version\n"
    "\n"
    "Exit codes: 0 boards found and none failed, 1 a board failed, 2 no board found,\n"
    "64 usage error, 78 configuration or image error.\n";

struct UsageError {
    std::string message;
};

struct ParsedOptions {
    StationOptions station;
    std::string configuration;
    std::string history;
    std::string stationName;
    std::string metrics; // ADDR:PORT
    bool allowReinstall = false;
    bool allowOlder = false;
    bool keepTraces = false;
    bool help = false;
    bool version = false;
};

// The options in args from index first on; only those in allowed for a
// subcommand (empty: all).
ParsedOptions parseOptions(const std::vector<std::string>& args, std::size_t first,
                           const std::vector<std::string>& allowed) {
    ParsedOptions parsed;
    for (std::size_t i = first; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> attached;
        if (option.starts_with("--") && option.find('=') != std::string::npos) {
            attached = option.substr(option.find('=') + 1);
            option = option.substr(0, option.find('='));
        }
        if (!allowed.empty() &&
            std::find(allowed.begin(), allowed.end(), option) == allowed.end()) {
            throw UsageError{option.starts_with("-") ? "unknown option " + args[i]
                                                     : "unexpected argument " + args[i]};
        }
        const auto value = [&]() -> std::string {
            if (attached) {
                return *attached;
            }
            if (i + 1 >= args.size()) {
                throw UsageError{option + " needs a value"};
            }
            return args[++i];
        };
        const auto flag = [&] {
            if (attached) {
                throw UsageError{option + " takes no value"};
            }
        };
        if (option == "--json") {
            flag();
            parsed.station.json = true;
        } else if (option == "--watch") {
            flag();
            parsed.station.watch = true;
        } else if (option == "--allow-reinstall") {
            flag();
            parsed.allowReinstall = true;
        } else if (option == "--allow-older") {
            flag();
            parsed.allowOlder = true;
        } else if (option == "--trace") {
            flag();
            parsed.keepTraces = true;
        } else if (option == "--help") {
            flag();
            parsed.help = true;
        } else if (option == "--version") {
            flag();
            parsed.version = true;
        } else if (option == "--config") {
            parsed.configuration = value();
            if (parsed.configuration.empty()) {
                throw UsageError{"--config needs a file"};
            }
        } else if (option == "--history") {
            parsed.history = value();
            if (parsed.history.empty()) {
                throw UsageError{"--history needs a file"};
            }
        } else if (option == "--station") {
            parsed.stationName = value();
            if (parsed.stationName.empty()) {
                throw UsageError{"--station needs a name"};
            }
        } else if (option == "--ledger") {
            parsed.station.ledger = value();
            if (parsed.station.ledger.empty()) {
                throw UsageError{"--ledger needs a connection string or URI"};
            }
        } else if (option == "--metrics") {
            parsed.metrics = value();
            if (parsed.metrics.empty()) {
                throw UsageError{"--metrics needs ADDR:PORT"};
            }
        } else if (option == "--port") {
            const std::string port = value();
            if (port.empty()) {
                throw UsageError{"--port needs a tty"};
            }
            parsed.station.ports.push_back(port);
        } else if (option == "--jobs") {
            const std::string text = value();
            unsigned jobs = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), jobs);
            if (error != std::errc() || end != text.data() + text.size() || jobs == 0) {
                throw UsageError{"--jobs needs a whole number above 0, not \"" + text + "\""};
            }
            parsed.station.jobs = jobs;
        } else {
            throw UsageError{option.starts_with("-")
                                 ? "unknown option " + redactLedgerText(args[i])
                                 : "unexpected argument " + redactLedgerText(args[i])};
        }
    }
    return parsed;
}

// Reads the configuration and proves both images; the plan, or the one line
// that says what is wrong.
std::optional<StationPlan> loadPlan(const ParsedOptions& options, const std::string& path,
                                    std::ostream& err) {
    const std::string directory = std::filesystem::path(path).parent_path().string();
    const std::optional<PropertyListDictionary> dictionary = readPropertyListDictionary(path);
    const std::optional<UpdateConfiguration> configuration =
        dictionary ? updateConfigurationFrom(*dictionary, directory.empty() ? "." : directory)
                   : std::nullopt;
    if (!configuration) {
        err << "qrb-flash: cannot read the update configuration " << path
            << ": missing, not a property list, or without both image files\n";
        return std::nullopt;
    }
    // Each image is read once, here: what is proved is what every board
    // gets and what its row and trace name, whatever happens to the files
    // on disk during the run.
    std::optional<PinnedImage> pinned[2];
    const std::pair<const char*, std::string> images[2] = {
        {"RAM bootloader", configuration->ramBootloaderPath},
        {"firmware image", configuration->imagePath}};
    for (std::size_t i = 0; i < 2; ++i) {
        ImageProof proof = pinStationImage(images[i].second);
        if (proof.failure) {
            err << "qrb-flash: the " << images[i].first << " " << images[i].second
                << " cannot be used: " << proof.failure->error << ": " << proof.failure->reason
                << "\n";
            return std::nullopt;
        }
        pinned[i] = std::move(proof.image);
    }
    StationPlan plan;
    plan.update = {configuration->ramBootloaderPath, configuration->imagePath,
                   configuration->version, pinned[0]->bytes, pinned[1]->bytes};
    plan.allowReinstall = options.allowReinstall;
    plan.allowOlder = options.allowOlder;
    plan.imageSha256 = sha256OfBytes(pinned[1]->bytes->data(), pinned[1]->bytes->size());
    // The history is made ready once, here: a history that cannot be written
    // costs this one warning, and the boards go without rows.
    const std::string history = options.history.empty() ? defaultHistoryPath() : options.history;
    if (prepareHistory(history)) {
        plan.historyPath = history;
    }
    plan.keepTraces = options.keepTraces;
    plan.station = options.stationName;
    if (const std::optional<std::string> problem = qrbtrace::traceLimitProblem()) {
        err << "qrb-flash: " << *problem << "\n";
    }
    return plan;
}

int runList(const ParsedOptions& options, std::ostream& out, std::ostream& err) {
    const std::vector<BoardIdentity> boards = Station::attachedBoards(options.station.ports);
    for (const BoardIdentity& board : boards) {
        out << (options.station.json ? foundEvent(board) : boardName(board)) << '\n';
    }
    if (boards.empty()) {
        err << "qrb-flash: no QRB Box found\n";
        return kExitNoBoard;
    }
    return kExitOk;
}

// The rows of the history at path that wait for the ledger, as the status
// line and the metrics page show it: counted at most once a second, since
// both may ask at every turn of the parent's loop; none when the history
// cannot be read.
LedgerBacklog ledgerBacklogOf(const std::string& path) {
    struct Cache {
        std::optional<std::uint64_t> backlog;
        std::chrono::steady_clock::time_point counted{};
        bool fresh = false;
    };
    auto cache = std::make_shared<Cache>();
    return [cache, path]() -> std::optional<std::uint64_t> {
        const auto now = std::chrono::steady_clock::now();
        if (!cache->fresh || now - cache->counted >= std::chrono::seconds(1)) {
            try {
                HistoryOutbox outbox(path);
                cache->backlog = static_cast<std::uint64_t>(outbox.status().backlog);
            } catch (const FirmwareUpdaterException&) {
                cache->backlog.reset();
            }
            cache->counted = now;
            cache->fresh = true;
        }
        return cache->backlog;
    };
}

int runUpdate(const ParsedOptions& options, const std::string& defaultConfiguration,
              std::ostream& out, std::ostream& err) {
    const std::string path =
        options.configuration.empty() ? defaultConfiguration : options.configuration;
    std::optional<StationPlan> plan = loadPlan(options, path, err);
    if (!plan) {
        return kExitConfiguration;
    }
    StationOptions stationOptions = options.station;
    if (!stationOptions.ledger.empty() && !plan->historyPath.empty()) {
        stationOptions.ledgerBacklog = ledgerBacklogOf(plan->historyPath);
    }
    auto station = std::make_shared<Station>(stationOptions, *plan, out);
    const int code = station->run();
    if (code == kExitNoBoard && !options.station.json) {
        err << "qrb-flash: no QRB Box found\n";
    }
    return code;
}

// A subcommand: the options it takes (empty: none) and what it runs, given
// the arguments after its name.
struct Subcommand {
    std::function<int(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)>
        run;
};

std::map<std::string, Subcommand> subcommands() {
    return {
        {"list", {[](const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
             return runList(parseOptions(args, 0, {"--json", "--port"}), out, err);
         }}},
        {"history", {runHistoryCommand}},
        {"doctor", {runDoctorCommand}},
        {"ledger", {runLedgerCommand}},
        {"trace", {[](const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
             if (args.empty() || args[0] != "show") {
                 throw UsageError{"trace needs a command: trace show FILE"};
             }
             return qrbtrace::runTraceShowCommand({args.begin() + 1, args.end()}, out, err);
         }}},
    };
}

} // namespace

int runStationCommand(const std::vector<std::string>& args, const std::string& defaultConfiguration,
                      std::ostream& out, std::ostream& err, bool outIsTerminal) {
    try {
        // "--history PATH" may come before a subcommand: history reads that file.
        std::size_t first = 0;
        std::vector<std::string> historyOption;
        if (args.size() >= 3 && args[0] == "--history" && !args[2].starts_with("-")) {
            historyOption = {args[0], args[1]};
            first = 2;
        }
        if (first < args.size() && !args[first].starts_with("-")) {
            const auto commands = subcommands();
            const auto command = commands.find(args[first]);
            if (command == commands.end()) {
                throw UsageError{"unknown command " + args[first]};
            }
            std::vector<std::string> rest(args.begin() + static_cast<long>(first) + 1, args.end());
            if (!historyOption.empty()) {
                if (args[first] != "history" && args[first] != "ledger") {
                    throw UsageError{
                        "--history goes with updates and the history and ledger commands"};
                }
                rest.insert(rest.end(), historyOption.begin(), historyOption.end());
            }
            return command->second.run(rest, out, err);
        }
        ParsedOptions options = parseOptions(args, 0, {});
        options.station.ledger = ledgerUrlOrDefault(options.station.ledger);
        options.station.live = outIsTerminal && !options.station.json;
        if (options.help) {
            out << kUsage;
            return kExitOk;
        }
        if (options.version) {
            out << "qrb-flash " << QRB_VERSION << '\n';
            return kExitOk;
        }
        if (!options.metrics.empty()) {
            if (!options.station.watch) {
                throw UsageError{"--metrics goes with --watch"};
            }
            try {
                options.station.metrics = std::make_shared<MetricsServer>(options.metrics);
            } catch (const MetricsServer::ListenError& error) {
                throw UsageError{"cannot serve the metrics on " + options.metrics + ": " +
                                 error.what()};
            }
        }
        return runUpdate(options, defaultConfiguration, out, err);
    } catch (const UsageError& usage) {
        err << "qrb-flash: " << usage.message << "\nTry 'qrb-flash --help' for more.\n";
        return kExitUsage;
    }
}
