#include "ImpairmentChart.h"

#include "ChartPng.h"
#include "ChartScale.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace zephyrscope::bench {

// The report's axes and PNG writer, so the matrix's chart reads like the run's.
using report::drawChartTitle;
using report::niceStep;
using report::SaveChartPng;
using report::tickLabel;

ImpairmentChart::ImpairmentChart(QString title, QStringList impairments, QStringList protocols,
                                 std::vector<Panel> panels)
    : m_title(std::move(title))
    , m_impairments(std::move(impairments))
    , m_protocols(std::move(protocols))
    , m_panels(std::move(panels))
{
}

QColor ImpairmentChart::colorOf(int protocol)
{
    static const QColor kColors[] = {{31, 119, 180}, {255, 127, 14}, {44, 160, 44},  {214, 39, 40},
                                     {148, 103, 189}, {140, 86, 75}, {227, 119, 194}, {127, 127, 127},
                                     {188, 189, 34},  {23, 190, 207}};
    return kColors[protocol % 10];
}

void ImpairmentChart::paint(QPainter& painter, const QRectF& area) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(area, Qt::white);

    const QFont font = drawChartTitle(painter, area, m_title);
    const QFontMetricsF metrics(font);
    const double line = metrics.height();

    // The impairments' names under the last panel, turned, so long ones fit.
    double labelWidth = 0.0;
    for (const QString& name : m_impairments)
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(name));
    const double left = area.left() + metrics.horizontalAdvance("000000") + line * 1.5;
    const double right = area.right() - line;
    const double top = area.top() + line * 4.0;
    const double bottom = area.bottom() - labelWidth * 0.75 - line * 1.5;
    const double gap = line * 2.2;
    const std::size_t panelCount = std::max<std::size_t>(m_panels.size(), 1);
    const double panelHeight = (bottom - top - gap * (panelCount - 1)) / panelCount;
    const int groups = std::max(1, static_cast<int>(m_impairments.size()));
    const double groupWidth = (right - left) / groups;

    drawLegend(painter, metrics, left, top);
    for (std::size_t i = 0; i < m_panels.size(); ++i) {
        const Panel& panel = m_panels[i];
        const QRectF box(left, top + i * (panelHeight + gap), right - left, panelHeight);
        drawPanel(painter, panel, box, area.left(), line, groups);
    }
    for (int g = 0; g < m_impairments.size(); ++g) {
        painter.save();
        painter.translate(left + (g + 0.5) * groupWidth, bottom + line * 0.4);
        painter.rotate(-30);
        const double w = metrics.horizontalAdvance(m_impairments[g]);
        painter.drawText(QRectF(-w, 0, w, line), Qt::AlignRight, m_impairments[g]);
        painter.restore();
    }
    painter.restore();
}

void ImpairmentChart::drawLegend(QPainter& painter, const QFontMetricsF& metrics, double left, double top) const
{
    // One swatch a protocol, above the first panel.
    const double line = metrics.height();
    double legendX = left;
    for (int p = 0; p < m_protocols.size(); ++p) {
        painter.fillRect(QRectF(legendX, top - line * 2.4 + line * 0.25, line * 0.9, line * 0.6), colorOf(p));
        const double w = metrics.horizontalAdvance(m_protocols[p]);
        painter.drawText(QRectF(legendX + line * 1.1, top - line * 2.4, w + line, line), Qt::AlignLeft, m_protocols[p]);
        legendX += w + line * 2.4;
    }
}

void ImpairmentChart::drawPanel(QPainter& painter, const Panel& panel, const QRectF& box, double areaLeft, double line,
                                int groups) const
{
    const double left = box.left();
    const double groupWidth = box.width() / groups;
    const int bars = std::max(1, static_cast<int>(m_protocols.size()));
    const double barWidth = groupWidth * 0.8 / bars;
    double maxValue = 0.0;
    for (const auto& series : panel.values)
        for (const double v : series)
            if (std::isfinite(v))
                maxValue = std::max(maxValue, v);
    const double step = niceStep(maxValue, 4);
    maxValue = std::max(step, std::ceil(maxValue / step) * step);
    auto yOf = [&](double v) { return box.bottom() - std::clamp(v / maxValue, 0.0, 1.0) * box.height(); };

    for (double v = 0.0; v <= maxValue + step * 0.01; v += step) {
        painter.setPen(QPen(QColor(225, 225, 225), 1));
        painter.drawLine(QPointF(box.left(), yOf(v)), QPointF(box.right(), yOf(v)));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(areaLeft, yOf(v) - line / 2, left - areaLeft - line * 0.4, line),
                         Qt::AlignRight | Qt::AlignVCenter, tickLabel(v));
    }
    painter.drawText(QRectF(box.left(), box.top() - line * 1.2, box.width(), line), Qt::AlignLeft, panel.title);

    for (std::size_t p = 0; p < panel.values.size(); ++p) {
        for (std::size_t g = 0; g < panel.values[p].size() && g < static_cast<std::size_t>(groups); ++g) {
            const double v = panel.values[p][g];
            if (!std::isfinite(v))
                continue;
            const double x = left + g * groupWidth + groupWidth * 0.1 + p * barWidth;
            // A zero still shows as a hairline, so "measured, none" differs from "not measured".
            const double y = std::min(yOf(v), box.bottom() - 1.0);
            painter.fillRect(QRectF(QPointF(x, y), QPointF(x + barWidth * 0.9, box.bottom())),
                             colorOf(static_cast<int>(p)));
        }
    }
    painter.setPen(QPen(QColor(200, 200, 200), 1, Qt::DotLine));
    for (int g = 1; g < groups; ++g)
        painter.drawLine(QPointF(left + g * groupWidth, box.top()), QPointF(left + g * groupWidth, box.bottom()));
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(box);
}

QString ImpairmentChart::save(const QString& path, QSize size) const
{
    if (!path.endsWith(".png", Qt::CaseInsensitive))
        return "Cannot write chart '" + path + "': the name must end in .png";
    return SaveChartPng(path, size, [this](QPainter& painter, const QRectF& area) { paint(painter, area); });
}

} // namespace zephyrscope::bench
