#include "MatrixFigure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zephyrscope::bench {

namespace {

std::string number(double value)
{
    char text[32];
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string percent(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, value == std::floor(value) ? "%.0f" : "%.1f", value);
    return text;
}

} // namespace

MatrixFigure MatrixFigure::checked(std::string name, double measured, double truth, double tolerancePercent,
                                   double toleranceAbsolute, std::string why)
{
    MatrixFigure figure;
    figure.m_name = std::move(name);
    figure.m_measured = measured;
    figure.m_truth = truth;
    figure.m_tolerancePercent = tolerancePercent;
    figure.m_toleranceAbsolute = toleranceAbsolute;
    figure.m_why = std::move(why);
    return figure;
}

MatrixFigure MatrixFigure::checked(std::string name, std::optional<double> measured, double truth,
                                   double tolerancePercent, double toleranceAbsolute, std::string why)
{
    MatrixFigure figure = checked(std::move(name), 0.0, truth, tolerancePercent, toleranceAbsolute, std::move(why));
    figure.m_measured = measured;
    return figure;
}

MatrixFigure MatrixFigure::bounded(std::string name, std::optional<double> measured, double lowest, double highest,
                                   std::string why)
{
    MatrixFigure figure = checked(std::move(name), measured, highest, 0.0, 0.0, std::move(why));
    figure.m_lowest = lowest;
    return figure;
}

MatrixFigure MatrixFigure::unjudged(std::string name, std::optional<double> measured, std::string why)
{
    MatrixFigure figure;
    figure.m_name = std::move(name);
    figure.m_measured = measured;
    figure.m_why = std::move(why);
    return figure;
}

MatrixFigure::Verdict MatrixFigure::verdict() const
{
    if (!m_truth || !m_measured)
        return m_truth ? Verdict::Wrong : Verdict::NotApplicable;
    const double difference = std::fabs(*m_measured - *m_truth);
    if (m_lowest) {
        if (*m_measured < *m_lowest || *m_measured > *m_truth)
            return Verdict::Wrong;
        return *m_lowest == *m_truth ? Verdict::Exact : Verdict::Within;
    }
    if (difference == 0.0)
        return Verdict::Exact;
    const double allowed = std::max(std::fabs(*m_truth) * m_tolerancePercent / 100.0, m_toleranceAbsolute);
    return difference <= allowed ? Verdict::Within : Verdict::Wrong;
}

const char* MatrixFigure::verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Exact:
        return "exact";
    case Verdict::Within:
        return "within";
    case Verdict::Wrong:
        return "wrong";
    case Verdict::NotApplicable:
        break;
    }
    return "n/a";
}

std::string MatrixFigure::verdictText() const
{
    const Verdict v = verdict();
    if (v != Verdict::Within)
        return verdictName(v);
    if (m_lowest)
        return "within " + number(*m_lowest) + ".." + number(*m_truth);
    // The share of the truth the two really differ by, so "within" says how close.
    const double difference = std::fabs(*m_measured - *m_truth);
    if (*m_truth == 0.0)
        return "within " + number(difference);
    return "within " + percent(std::ceil(difference / std::fabs(*m_truth) * 1000.0) / 10.0) + " %";
}

std::string MatrixFigure::cellText() const
{
    switch (verdict()) {
    case Verdict::Exact:
        return "exact " + number(*m_measured);
    case Verdict::Within:
        if (m_lowest)
            return verdictText() + " (" + number(*m_measured) + ")";
        return verdictText() + " (" + number(*m_measured) + " vs " + number(*m_truth) + ")";
    case Verdict::Wrong:
        if (m_lowest)
            return "WRONG " + (m_measured ? number(*m_measured) : std::string("none")) + " outside "
                + number(*m_lowest) + ".." + number(*m_truth);
        return "WRONG " + (m_measured ? number(*m_measured) : std::string("none")) + " vs " + number(*m_truth);
    case Verdict::NotApplicable:
        break;
    }
    return m_measured ? "n/a (" + number(*m_measured) + ")" : "n/a";
}

} // namespace zephyrscope::bench
