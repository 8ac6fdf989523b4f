#pragma once

#include <string>
#include <vector>

// Fills the update history at path with count station rows at once (one
// transaction, no sync per row), for backlogs too large to record one by one
// in the bench and the tests. Returns their attempt ids in order.
std::vector<std::string> writeScratchHistory(const std::string& path, int count,
                                             const std::string& station,
                                             const std::string& serialPrefix = "QRB");
