#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// Exit codes of qrb-flash.
inline constexpr int kExitOk = 0;             // some board, none failed
inline constexpr int kExitFailed = 1;         // a board failed
inline constexpr int kExitNoBoard = 2;        // no board found
inline constexpr int kExitUsage = 64;         // a usage error
inline constexpr int kExitConfiguration = 78; // the configuration or an image is bad

// qrb-flash's command line (args without the program name): the options and
// the subcommands. defaultConfiguration is the update configuration the
// desktop updater reads. With outIsTerminal (and without --json) a line per
// running board is redrawn in place below the lines of the boards that have
// ended. Returns the exit code.
int runStationCommand(const std::vector<std::string>& args, const std::string& defaultConfiguration,
                      std::ostream& out, std::ostream& err, bool outIsTerminal = false);
