#pragma once

// What a matrix run wrote: every cell as JSON, and the table as Markdown with
// the machine and the date, and the count of figures by verdict.

#include "MatrixCell.h"

#include <string>
#include <vector>

namespace zephyrscope::bench {

class MatrixReport {
public:
    struct Machine {
        std::string uname, cpu, date;
        int cores = 0;
        double runSeconds = 0.0;
    };

    MatrixReport(std::vector<MatrixCell> cells, Machine machine);

    // This machine, now (UTC).
    static Machine thisMachine();

    std::string json() const;
    std::string markdown() const;
    // "exact 120, within 30, wrong 2, n/a 40; cells not played 0".
    std::string summary() const;
    // Writes text to path; an empty string, or what failed.
    static std::string write(const std::string& path, const std::string& text);

    const std::vector<MatrixCell>& cells() const { return m_cells; }
    void setRunSeconds(double seconds) { m_machine.runSeconds = seconds; }

private:
    std::vector<MatrixCell> m_cells;
    Machine m_machine;
};

} // namespace zephyrscope::bench
