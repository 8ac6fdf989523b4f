#pragma once

#include <filesystem>

// Where the program finds its read-only resources (the update configuration
// and the images it names), from the location of its own executable:
//   - run from the directory the build put it in (buildOutputDir): the source
//     tree's resources directory (sourceResourceDir);
//   - anywhere else, i.e. installed as <prefix>/bin/qrb-updater:
//     <prefix>/share/qrb-updater.
// Paths are compared after resolving symbolic links, so a link to the
// executable finds the same directory as the executable itself.
std::filesystem::path resourceDirectoryFor(const std::filesystem::path& executable,
                                           const std::filesystem::path& buildOutputDir,
                                           const std::filesystem::path& sourceResourceDir);

// The running program's executable (/proc/self/exe), or empty when unknown.
std::filesystem::path currentExecutable();
