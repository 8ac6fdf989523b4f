#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The report of the reliability tests. Every case, each in a test process of
// its own, appends one line to a results file; a last step renders the
// tables from it, with the cells that were not applicable or not run.
namespace reliability {

struct Result {
    std::string table; // which table: "matrix", "images"
    std::string row;
    std::string column;
    std::string fault; // what was done to the updater
    bool passed = false;
    std::string outcome; // how the updater ended, as observed
};

struct TableLayout {
    std::string table;
    std::string heading;
    std::string intro;
    std::string corner; // heading of the row names
    std::vector<std::string> rows;
    std::vector<std::string> columns;
    std::set<std::pair<std::string, std::string>> notApplicable; // (row, column)
    std::string notApplicableText = "n/a";
};

// The layouts of the two tables, from the tests that fill them.
TableLayout faultMatrixLayout();
TableLayout badImageLayout();

std::filesystem::path resultsFile();
std::filesystem::path reportFile();

// Empties the results file.
void startResults();
// Appends one result in a single write, so that parallel cases do not mix.
void appendResult(const Result& result);
std::vector<Result> readResults();

// The report in Markdown: per table, the cells and a summary line.
std::string renderReport(const std::vector<TableLayout>& layouts,
                         const std::vector<Result>& results);
// One line per table: cells that ended as they should, failed, not applicable, not run.
std::string summarise(const std::vector<TableLayout>& layouts, const std::vector<Result>& results);

} // namespace reliability
