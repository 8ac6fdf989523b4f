#include "ChildProcess.h"
#include "ImageWriter.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class QrbImageTest : public ::testing::Test {
  protected:
    // Runs qrb-image with args in the temporary directory, to its end.
    Result run(const std::vector<std::string>& args) {
        const std::string workDir = dir.path().string();
        testing_support::ChildProcess tool(QRB_IMAGE_TOOL, args, {.beforeExec = [&workDir] {
                                               return ::chdir(workDir.c_str()) == 0;
                                           }});
        const std::optional<int> status = tool.finish(std::chrono::seconds(60));
        if (!status) {
            ADD_FAILURE() << "qrb-image did not end within 60 s";
        }
        return {status.value_or(-1), tool.output(), tool.errors()};
    }

    Bytes fileBytes(const std::string& name) {
        std::ifstream in(dir.path() / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    testing_support::TempDir dir;
};

TEST_F(QrbImageTest, CreateThenInfoRoundTrip) {
    const Bytes seven = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    Bytes big(5000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    dir.writeFile("seven.bin", seven);
    dir.writeFile("with:colon.bin", big);
    dir.writeFile("empty.bin", Bytes{});

    Result r = run({"create", "-o", "out.sc", "0x1002:seven.bin", "65537:with:colon.bin",
                    "0XFFFFFFFF:empty.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fileBytes("out.sc"), SimpleCodeImageBuilder()
                                       .addDataRecord(0x1002, seven)
                                       .addDataRecord(65537, big)
                                       .addDataRecord(0xFFFFFFFF, Bytes{})
                                       .addEndRecord()
                                       .bytes());

    r = run({"info", "out.sc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "data record: address 0x00001002, length 7\n"
                     "data record: address 0x00010001, length 5000\n"
                     "data record: address 0xffffffff, length 0\n"
                     "end record\n"
                     "checksum OK\n");
}

TEST_F(QrbImageTest, InfoReportsTheReadersFailures) {
    const Bytes four = {1, 2, 3, 4};
    const struct {
        Bytes image;
        std::string expected;
    } cases[] = {
        {SimpleCodeImageBuilder(0x12345678).addEndRecord().bytes(),
         "FileFormatError: The input file is not in the simple-code format (0x12345678).\n"},
        {Bytes{0x7F, 0x49, 0x41}, "UnexpectedEOFError: Found unexpected EOF in input file.\n"},
        {SimpleCodeImageBuilder().addDataRecord(0x10, 8, four).bytes(),
         "data record: address 0x00000010, length 8\n"
         "UnexpectedEOFError: Found unexpected EOF in input file.\n"},
        {SimpleCodeImageBuilder().addType2Record().addBytes(Bytes{4}).bytes(),
         "type-2 record\nUnknownRecordError: Unknown record in simple-code input file (4).\n"},
        {SimpleCodeImageBuilder().addDataRecord(0, four).addEndRecord(0).bytes(),
         "data record: address 0x00000000, length 4\nend record\n"
         "ChecksumError: Checksum error in simple-code input file.\n"},
    };
    for (const auto& c : cases) {
        dir.writeFile("bad.sc", c.image);
        const Result r = run({"info", "bad.sc"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.expected);
    }
    const Result r = run({"info", "missing.sc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "FileNotFoundError: Cannot open missing.sc.\n");
}

TEST_F(QrbImageTest, CreateRefusesBadInputAndLeavesTheOutputAlone) {
    dir.writeFile("seven.bin", Bytes(7, 0xAB));
    dir.writeFile("out.sc", std::string("previous"));
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"create", "0:seven.bin"}, "no output file (-o OUT)"},
        {{"create", "-o", "out.sc"}, "no ADDRESS:FILE given"},
        {{"create", "-o"}, "-o needs a file name"},
        {{"create", "-o", "out.sc", "-x", "0:seven.bin"}, "unknown option -x"},
        {{"create", "-o", "out.sc", "seven.bin"}, "expected ADDRESS:FILE, got \"seven.bin\""},
        {{"create", "-o", "out.sc", "0x:seven.bin"}, "bad address \"0x\""},
        {{"create", "-o", "out.sc", "12a:seven.bin"}, "bad address \"12a\""},
        {{"create", "-o", "out.sc", "0x100000000:seven.bin"}, "bad address \"0x100000000\""},
        {{"create", "-o", "out.sc", "4294967296:seven.bin"}, "bad address \"4294967296\""},
        {{"create", "-o", "out.sc", "0:missing.bin"},
         "cannot read missing.bin: No such file or directory"},
        {{"create", "-o", "out.sc", "0:."}, "cannot read .: Is a directory"},
        {{"create", "-o", "out.sc", "0xFFFFFFFA:seven.bin"},
         "seven.bin: 7 bytes at 0xfffffffa pass the end of the 32-bit address space"},
        {{"create", "-o", "no/such/dir/out.sc", "0:seven.bin"},
         "cannot write no/such/dir/out.sc: No such file or directory"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"info"}, "info: expected exactly one FILE"},
    };
    for (const auto& c : cases) {
        const Result r = run(c.args);
        EXPECT_NE(r.status, 0) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(fileBytes("out.sc"), Bytes({'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2)
        << "no temporary file is left behind";

    // The last address that still holds the whole file.
    EXPECT_EQ(run({"create", "-o", "out.sc", "0xFFFFFFF9:seven.bin"}).status, 0);
}

TEST_F(QrbImageTest, Help) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"create", "--help"}, {"info", "--help"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Usage: qrb-image ", 0), 0u) << r.out;
    }
}

} // namespace
