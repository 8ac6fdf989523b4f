#include "MatrixReport.h"

#include <gmock/gmock.h>

#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>

// The reliability tests, and the two steps around them that start the
// results and render the report:
//   reliability_tests --start-report
//   reliability_tests --render-report
int main(int argc, char** argv) {
    try {
        if (argc == 2 && std::strcmp(argv[1], "--start-report") == 0) {
            reliability::startResults();
            return 0;
        }
        if (argc == 2 && std::strcmp(argv[1], "--render-report") == 0) {
            const std::vector<reliability::TableLayout> layouts = {reliability::faultMatrixLayout(),
                                                                   reliability::badImageLayout()};
            const auto results = reliability::readResults();
            std::ofstream(reliability::reportFile()) << reliability::renderReport(layouts, results);
            std::cout << reliability::summarise(layouts, results)
                      << "report: " << reliability::reportFile().string() << "\n";
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << argv[0] << ": " << e.what() << "\n";
        return 1;
    }
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
