#include "MatrixCell.h"

namespace zephyrscope::bench {

bool MatrixCell::allWithinTolerance() const
{
    if (!played)
        return false;
    for (const MatrixFigure& f : figures) {
        if (f.verdict() == MatrixFigure::Verdict::Wrong)
            return false;
    }
    return true;
}

const MatrixFigure* MatrixCell::figure(const std::string& name) const
{
    for (const MatrixFigure& f : figures) {
        if (f.name() == name)
            return &f;
    }
    return nullptr;
}

} // namespace zephyrscope::bench
