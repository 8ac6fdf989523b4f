#include "StateDirectory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

std::optional<std::filesystem::path> stateDirectory() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        return std::filesystem::path(state) / "qrb-updater";
    }
    std::string home;
    if (const char* value = std::getenv("HOME"); value != nullptr && *value != '\0') {
        home = value;
    } else if (const passwd* entry = ::getpwuid(::getuid());
               entry != nullptr && entry->pw_dir != nullptr) {
        home = entry->pw_dir;
    }
    if (home.empty()) {
        return std::nullopt;
    }
    return std::filesystem::path(home) / ".local" / "state" / "qrb-updater";
}
