#include "MatrixChart.h"

#include "ImpairmentChart.h"

#include <cmath>
#include <limits>

namespace zephyrscope::bench {

MatrixChart::MatrixChart(const std::vector<MatrixCell>& cells)
    : m_cells(cells)
{
}

std::string MatrixChart::save(const std::string& path) const
{
    QStringList impairments, protocols;
    std::vector<std::string> impairmentIds;
    for (const MatrixImpairment& impairment : MatrixImpairments::all()) {
        impairments << QString::fromStdString(impairment.label);
        impairmentIds.push_back(impairment.id);
    }
    for (const MatrixCell& cell : m_cells) {
        if (!protocols.contains(QString::fromStdString(cell.protocol)))
            protocols << QString::fromStdString(cell.protocol);
    }
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    const auto empty = std::vector<std::vector<double>>(protocols.size(), std::vector<double>(impairmentIds.size(), kNone));
    ImpairmentChart::Panel stalls {"Stall time (ms), as the player measured it", empty};
    ImpairmentChart::Panel loss {"Packets lost (% of received and lost), as the player counted them", empty};
    for (const MatrixCell& cell : m_cells) {
        if (!cell.played)
            continue;
        const auto p = static_cast<std::size_t>(protocols.indexOf(QString::fromStdString(cell.protocol)));
        std::size_t i = 0;
        while (i < impairmentIds.size() && impairmentIds[i] != cell.impairment.id)
            ++i;
        if (i == impairmentIds.size())
            continue;
        if (const MatrixFigure* f = cell.figure(kFigureStallMs); f && f->measured())
            stalls.values[p][i] = *f->measured();
        const MatrixFigure* received = cell.figure(kFigureReceived);
        const MatrixFigure* lost = cell.figure(kFigureLost);
        if (received && lost && received->measured() && lost->measured()) {
            const double all = *received->measured() + *lost->measured();
            loss.values[p][i] = all > 0.0 ? *lost->measured() / all * 100.0 : 0.0;
        }
    }
    const ImpairmentChart chart("Stall time and loss against the impairment, per protocol", impairments,
                                        protocols, {stalls, loss});
    return chart.save(QString::fromStdString(path), QSize(1400, 900)).toStdString();
}

} // namespace zephyrscope::bench
