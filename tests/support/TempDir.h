#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes bytes to a file in the directory and returns its full path.
    std::string writeFile(const std::string& name, const std::vector<uint8_t>& bytes) const;
    std::string writeFile(const std::string& name, const std::string& text) const;

  private:
    std::filesystem::path path_;
};

} // namespace testing_support
