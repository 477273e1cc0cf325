#pragma once

// What every chart of the report shares: its title and text size, and its
// value axis' steps and labels.

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QRectF>
#include <QString>

#include <algorithm>

#include <cmath>

namespace zephyrscope::report {

// A tick step of 1, 2 or 5 times a power of ten giving about `count` ticks.
inline double niceStep(double range, int count)
{
    if (range <= 0.0)
        return 1.0;
    const double raw = range / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10.0 * power;
}

// Draws the chart's title at the top of area, in a text size that follows the
// chart's height, and leaves the painter with the body's font, which it returns.
inline QFont drawChartTitle(QPainter& painter, const QRectF& area, const QString& title)
{
    QFont font = painter.font();
    font.setPixelSize(std::max(10, static_cast<int>(area.height() / 70)));
    const double line = QFontMetricsF(font).height();
    QFont titleFont = font;
    titleFont.setBold(true);
    titleFont.setPixelSize(static_cast<int>(font.pixelSize() * 1.3));
    painter.setFont(titleFont);
    painter.setPen(Qt::black);
    painter.drawText(QRectF(area.left(), area.top() + line * 0.3, area.width(), line * 1.6), Qt::AlignCenter, title);
    painter.setFont(font);
    return font;
}

inline QString tickLabel(double value)
{
    return std::fabs(value) >= 1000.0 || value == std::floor(value) ? QString::number(value, 'f', 0)
                                                                       : QString::number(value, 'g', 3);
}

} // namespace zephyrscope::report
