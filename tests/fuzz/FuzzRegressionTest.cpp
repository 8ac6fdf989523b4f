// Every saved input of the fuzz targets, run through the target's entry in the
// normal build: the seed inputs, and each input that once found a fault
// (tests/fuzz-regressions/<target>/, added with the fix).

#include "FuzzEntries.h"
#include "PropertyList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    void (*entry)(const uint8_t*, size_t);
};

void PrintTo(const Target& target, std::ostream* out) {
    *out << target.name;
}

std::vector<fs::path> savedInputs(const std::string& target) {
    std::vector<fs::path> inputs;
    for (const fs::path& root :
         {fs::path(QRB_FUZZ_CORPUS_DIR), fs::path(QRB_FUZZ_REGRESSIONS_DIR)}) {
        const fs::path directory = root / target;
        if (!fs::is_directory(directory)) {
            continue;
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
            if (entry.is_regular_file()) {
                inputs.push_back(entry.path());
            }
        }
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

std::vector<uint8_t> contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class SavedFuzzInputs : public testing::TestWithParam<Target> {};

TEST_P(SavedFuzzInputs, RunThroughTheEntryWithoutAFinding) {
    const std::vector<fs::path> inputs = savedInputs(GetParam().name);
    ASSERT_FALSE(inputs.empty()) << "no seed inputs for " << GetParam().name;
    for (const fs::path& input : inputs) {
        const std::vector<uint8_t> bytes = contents(input);
        try {
            GetParam().entry(bytes.data(), bytes.size());
        } catch (const std::exception& exception) {
            ADD_FAILURE() << input << ": " << exception.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, SavedFuzzInputs,
    testing::Values(Target{"image", fuzzImageFile}, Target{"configuration", fuzzConfiguration},
                    Target{"protocol", fuzzBoardAnswers}, Target{"trace", fuzzTraceFile}),
    [](const testing::TestParamInfo<Target>& param) { return std::string(param.param.name); });

// The configuration target's first finding: a string holding U+0000 made the
// property-list library abort the process. It is now read whole.
TEST(PropertyListStrings, AStringHoldingANulCharacterIsReadWhole) {
    const std::vector<uint8_t> bytes =
        contents(fs::path(QRB_FUZZ_REGRESSIONS_DIR) / "configuration" /
                 "binary-utf16-string-with-nul.plist");
    const std::optional<PropertyListDictionary> dictionary =
        parsePropertyListDictionary(std::string(bytes.begin(), bytes.end()));
    ASSERT_TRUE(dictionary);
    const PropertyListValue* value = dictionary->find("RAM_Bootloader_Path");
    ASSERT_TRUE(value != nullptr && value->string() != nullptr);
    EXPECT_EQ(*value->string(), std::string("x\0y\xE2\x82\xAC", 6));
}

} // namespace
