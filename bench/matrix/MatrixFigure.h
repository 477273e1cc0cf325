#pragma once

// One figure of one matrix cell: what the player said beside what the relay or
// server counted, and the verdict. A figure with no truth in its cell carries
// the reason instead (a protocol that loses nothing at the application level
// has no loss to compare), so the table says "n/a" and why.

#include <optional>
#include <string>

namespace zephyrscope::bench {

class MatrixFigure {
public:
    enum class Verdict { Exact, Within, Wrong, NotApplicable };

    // A figure checked against truth: exact when equal, within when the two
    // differ by no more than tolerancePercent of the truth (or toleranceAbsolute,
    // whichever is larger: one packet more or less of a count near zero is not
    // a percentage), wrong otherwise; why says where the tolerance comes from.
    static MatrixFigure checked(std::string name, double measured, double truth, double tolerancePercent = 0.0,
                                double toleranceAbsolute = 0.0, std::string why = {});
    // The same for a figure the player may not have given: without it, wrong.
    static MatrixFigure checked(std::string name, std::optional<double> measured, double truth,
                                double tolerancePercent, double toleranceAbsolute, std::string why);
    // A figure whose truth is a range: within when lowest <= measured <= highest
    // (exact when the range is one value and it is that), wrong otherwise.
    static MatrixFigure bounded(std::string name, std::optional<double> measured, double lowest, double highest,
                                std::string why);
    // A figure without truth in this cell: shown, never judged.
    static MatrixFigure unjudged(std::string name, std::optional<double> measured, std::string why);

    const std::string& name() const { return m_name; }
    std::optional<double> measured() const { return m_measured; }
    std::optional<double> truth() const { return m_truth; }
    // A range's lower end; none for a figure checked against one value (truth()).
    std::optional<double> lowest() const { return m_lowest; }
    double tolerancePercent() const { return m_tolerancePercent; }
    double toleranceAbsolute() const { return m_toleranceAbsolute; }
    const std::string& why() const { return m_why; }
    Verdict verdict() const;
    // "exact", "within 1 %", "wrong", "n/a".
    std::string verdictText() const;
    // The table's cell: "exact 1234", "within 1 % (1230 vs 1234)", "WRONG 26 vs 24", "n/a (17)".
    std::string cellText() const;

    static const char* verdictName(Verdict verdict);

private:
    std::string m_name;
    std::optional<double> m_measured, m_truth, m_lowest;
    double m_tolerancePercent = 0.0, m_toleranceAbsolute = 0.0;
    std::string m_why;
};

} // namespace zephyrscope::bench
