#include "StationCommand.h"

#include "BoardSequence.h"
#include "FileDigest.h"
#include "History.h"
#include "HistoryCommand.h"
#include "ImageProof.h"
#include "Station.h"
#include "StationEvents.h"
#include "TraceFiles.h"
#include "TraceShow.h"
#include "UpdateConfiguration.h"

#include <charconv>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>

namespace {

constexpr const char* kUsage =
    "Usage: qrb-flash [OPTION]...          update every QRB Box attached now, then exit\n"
    "       qrb-flash --watch [OPTION]...  update each board as it is plugged in, until stopped\n"
    "       qrb-flash list [--json]        list the attached boards, touching none\n"
    "       qrb-flash history [--json] [--serial SERIAL] [--since YYYY-MM-DD] [--limit N]\n"
    "                                      the update history, newest last\n"
    "       qrb-flash trace show FILE      print a serial trace as a readable exchange\n"
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
    "  --trace             keep the serial trace of every attempt (failed ones are always\n"
    "                      kept, in $XDG_STATE_HOME/qrb-updater/traces)\n"
    "  --watch             station mode: SIGINT or SIGTERM stops taking boards, a second\n"
    "                      SIGINT ends at once\n"
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
            throw UsageError{option.starts_with("-") ? "unknown option " + args[i]
                                                     : "unexpected argument " + args[i]};
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
    for (const auto& [what, image] : {std::pair{"RAM bootloader", configuration->ramBootloaderPath},
                                      std::pair{"firmware image", configuration->imagePath}}) {
        if (std::optional<BoardFailure> failure = proveStationImage(image)) {
            err << "qrb-flash: the " << what << " " << image
                << " cannot be used: " << failure->error << ": " << failure->reason << "\n";
            return std::nullopt;
        }
    }
    StationPlan plan;
    plan.update = {configuration->ramBootloaderPath, configuration->imagePath,
                   configuration->version};
    plan.allowReinstall = options.allowReinstall;
    plan.allowOlder = options.allowOlder;
    // The history is made ready once, here: a history that cannot be written
    // costs this one warning, and the boards go without rows.
    const std::string history = options.history.empty() ? defaultHistoryPath() : options.history;
    if (prepareHistory(history)) {
        plan.historyPath = history;
        plan.imageSha256 = sha256OfFile(configuration->imagePath);
    }
    plan.keepTraces = options.keepTraces;
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

int runUpdate(const ParsedOptions& options, const std::string& defaultConfiguration,
              std::ostream& out, std::ostream& err) {
    const std::string path =
        options.configuration.empty() ? defaultConfiguration : options.configuration;
    std::optional<StationPlan> plan = loadPlan(options, path, err);
    if (!plan) {
        return kExitConfiguration;
    }
    auto station = std::make_shared<Station>(options.station, *plan, out);
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
                if (args[first] != "history") {
                    throw UsageError{"--history goes with updates and the history command"};
                }
                rest.insert(rest.end(), historyOption.begin(), historyOption.end());
            }
            return command->second.run(rest, out, err);
        }
        ParsedOptions options = parseOptions(args, 0, {});
        options.station.live = outIsTerminal && !options.station.json;
        if (options.help) {
            out << kUsage;
            return kExitOk;
        }
        if (options.version) {
            out << "qrb-flash " << QRB_VERSION << '\n';
            return kExitOk;
        }
        return runUpdate(options, defaultConfiguration, out, err);
    } catch (const UsageError& usage) {
        err << "qrb-flash: " << usage.message << "\nTry 'qrb-flash --help' for more.\n";
        return kExitUsage;
    }
}
