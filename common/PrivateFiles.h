#pragma once

#include <filesystem>
#include <functional>
#include <string>

// What the updater keeps about boards (the update history, serial traces) is
// the user's alone: the directories it creates for them are mode 0700, the
// files 0600 (the umask may only take more away). And it is kept durably: a
// file is synced, then the directory that names it, before anything that
// refers to it (a history row naming a trace) is committed.

// Creates dir and every missing directory above it, each mode 0700;
// directories that exist keep their mode. Returns an empty string, or what
// failed: "cannot create <dir>: <reason>".
std::string makePrivateDirectories(const std::filesystem::path& dir);

// fsync(2) of an open file, named path (for the observer); false with errno
// set when it failed.
bool syncFile(int fd, const std::string& path);
// fsync(2) of a directory, so that the names in it last; false with errno set
// when it failed.
bool syncDirectory(const std::filesystem::path& dir);

// The steps that make a record durable, in the order they happened, for a
// test that holds the writers to that order.
enum class DurableStep {
    FileSynced,      // path: the file
    DirectorySynced, // path: the directory
    RowCommitted,    // path: the serial trace the committed row names (empty: none)
};
using DurabilityObserver = std::function<void(DurableStep step, const std::string& path)>;

// Installs an observer of every durable step of the process (empty: none);
// returns the one installed before.
DurabilityObserver setDurabilityObserver(DurabilityObserver observer);
// Tells the observer, if any, of a step.
void noteDurableStep(DurableStep step, const std::string& path);
