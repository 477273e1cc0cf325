#pragma once

#include "RunSummary.h"
#include "StatisticsLog.h"

#include <QSize>
#include <QString>

class QPainter;
class QRectF;

namespace zephyrscope::report {

// Draws one chart of a run over time: bit rate, Frame_Rate with IFramerate,
// buffering progress and lost packets in four panels sharing the time axis, with
// stall periods shaded, and clip boundaries, adaptive streams' variant switches,
// the ticks where a transport stream's error counts grew and the splice points
// of a JSON Lines log marked.
class ChartRenderer {
public:
    ChartRenderer(const StatisticsLog& log, const RunSummary& summary, QString title);

    void paint(QPainter& painter, const QRectF& area) const;

    // Writes a PNG or an SVG, chosen by the file's extension. Returns an empty
    // string on success, else what failed.
    QString save(const QString& path, QSize size) const;

private:
    const StatisticsLog& m_log;
    const RunSummary& m_summary;
    QString m_title;
};

} // namespace zephyrscope::report
