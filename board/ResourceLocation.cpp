#include "ResourceLocation.h"

#include <system_error>

namespace fs = std::filesystem;

namespace {

fs::path resolved(const fs::path& path) {
    std::error_code error;
    fs::path result = fs::weakly_canonical(path, error);
    return error ? path.lexically_normal() : result;
}

} // namespace

fs::path resourceDirectoryFor(const fs::path& executable, const fs::path& buildOutputDir,
                              const fs::path& sourceResourceDir) {
    const fs::path directory = resolved(executable).parent_path();
    if (!buildOutputDir.empty() && directory == resolved(buildOutputDir)) {
        return sourceResourceDir;
    }
    return (directory.parent_path() / "share" / "qrb-updater").lexically_normal();
}

fs::path currentExecutable() {
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : executable;
}
