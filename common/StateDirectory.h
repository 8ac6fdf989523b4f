#pragma once

#include <filesystem>
#include <optional>

// The updater's state directory, where its update history and its serial
// traces live: $XDG_STATE_HOME/qrb-updater when XDG_STATE_HOME is an absolute
// path (a relative one is ignored, as the XDG base directory rule says), else
// ~/.local/state/qrb-updater, the home directory from HOME or, when HOME is
// unset or empty, from the user's passwd entry; none when neither gives one.
std::optional<std::filesystem::path> stateDirectory();
