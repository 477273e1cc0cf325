#pragma once

// The matrix's chart: each protocol's stall time and loss against the
// impairment, drawn by the report's chart code. Needs a QGuiApplication (for
// its fonts); main makes one, offscreen.

#include "MatrixCell.h"

#include <string>
#include <vector>

namespace zephyrscope::bench {

class MatrixChart {
public:
    explicit MatrixChart(const std::vector<MatrixCell>& cells);
    // Writes a PNG; an empty string, or what failed.
    std::string save(const std::string& path) const;

private:
    const std::vector<MatrixCell>& m_cells;
};

} // namespace zephyrscope::bench
