#include "ChartRenderer.h"

#include "ChartPng.h"
#include "ChartScale.h"
#include "FigureByKey.h"
#include "Protocol.h"

#include <QFileInfo>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>

#include <algorithm>
#include <cmath>
#include <limits>

namespace zephyrscope::report {

namespace {

// One line of a panel: a figure of the table, labelled with its key.
struct Series {
    const Figure* figure = nullptr;
    QColor color;
    double divisor = 1.0; // 1000: drawn in thousands

    QString label() const { return figure->jsonKey; }
    // Not a number where the tick has none, which leaves a gap in the line.
    double value(const LogSample& s) const
    {
        const auto v = FigureValue(*figure, s);
        return v ? *v / divisor : std::numeric_limits<double>::quiet_NaN();
    }
};

struct Panel {
    QString title;
    std::vector<Series> series;
    double fixedMax = 0.0; // 0: from the data
};

constexpr double kThousand = 1000.0;

// A panel titled in words and the unit of its first figure's row.
Panel panel(const char* words, std::vector<Series> series, double fixedMax = 0.0)
{
    const Series& first = series.front();
    QString title = words;
    if (std::string_view(first.figure->unit) != "count")
        title += QString(" (") + (first.divisor == kThousand ? "k" : "")
            + QString::fromUtf8(first.figure->unit.data(), static_cast<qsizetype>(first.figure->unit.size())) + ")";
    return {title, std::move(series), fixedMax};
}

std::vector<Panel> panelsOf(const RunSummary& summary)
{
    std::vector<Panel> panels = {
        panel("Bit rate", {{&FigureByKey("Bit_Rate"), QColor(31, 119, 180), kThousand}}),
        panel("Frame rate",
              {{&FigureByKey("Frame_Rate"), QColor(44, 160, 44)}, {&FigureByKey("IFramerate"), QColor(255, 127, 14)}}),
        panel("Buffering progress", {{&FigureByKey("Buf_Progress"), QColor(148, 103, 189)}}, 100.0),
        panel("Lost packets", {{&FigureByKey("Lost_Pkts"), QColor(214, 39, 40)}}),
    };
    // Only a JSON Lines log of a stream with a wall clock has it; gaps where a sample has none.
    if (summary.run.latency)
        panels.push_back(panel("Live latency", {{&FigureByKey("latency_ms"), QColor(23, 190, 207)}}));
    return panels;
}

// Where the panels stand in the chart, and where a time falls on them.
struct Layout {
    double left = 0.0, right = 0.0, top = 0.0, bottom = 0.0;
    double areaLeft = 0.0;
    double line = 0.0; // the text's height
    double t0 = 0.0;   // the first sample's time
    double tEnd = 1.0; // seconds the time axis spans

    double xOf(double utc) const { return left + (utc - t0) / tEnd * (right - left); }
};

double yOf(const QRectF& box, double maxValue, double v)
{
    return box.bottom() - std::clamp(v / maxValue, 0.0, 1.05) * box.height();
}

double maxValueOf(const Panel& panel, const std::vector<LogSample>& samples)
{
    double maxValue = panel.fixedMax;
    if (maxValue <= 0.0) {
        for (const Series& s : panel.series)
            for (const LogSample& sample : samples)
                maxValue = std::max(maxValue, s.value(sample));
        const double step = niceStep(maxValue, 4);
        maxValue = std::max(step, std::ceil(maxValue / step) * step);
    }
    return maxValue;
}

// Stalls shaded, and what the viewer got in a band along the top: black, frozen, silent.
void drawBands(QPainter& painter, const QRectF& box, const Figures& run, const Layout& at)
{
    for (const Period& stall : run.stallPeriods)
        painter.fillRect(QRectF(QPointF(at.xOf(stall.begin), box.top()), QPointF(at.xOf(stall.end), box.bottom())),
                         QColor(255, 0, 0, 40));
    const double band = box.height() * 0.04;
    int lane = 0;
    for (const auto& [stretches, colour] : {std::pair {&run.black, QColor(0, 0, 0, 160)},
                                            std::pair {&run.frozen, QColor(0, 90, 255, 160)},
                                            std::pair {&run.silent, QColor(255, 150, 0, 160)}}) {
        for (const Period& p : stretches->periods)
            painter.fillRect(QRectF(QPointF(at.xOf(p.begin), box.top() + lane * band),
                                    QPointF(at.xOf(p.end), box.top() + (lane + 1) * band)),
                             colour);
        ++lane;
    }
}

// The value axis with its grid, the panel's title, and its legend right-aligned above it.
void drawAxisAndLegend(QPainter& painter, const Panel& panel, const QRectF& box, double maxValue,
                       const QFontMetricsF& metrics, const Layout& at)
{
    const double line = at.line;
    const double step = niceStep(maxValue, 4);
    for (double v = 0.0; v <= maxValue + step * 0.01; v += step) {
        painter.setPen(QPen(QColor(225, 225, 225), 1));
        painter.drawLine(QPointF(box.left(), yOf(box, maxValue, v)), QPointF(box.right(), yOf(box, maxValue, v)));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(at.areaLeft, yOf(box, maxValue, v) - line / 2, at.left - at.areaLeft - line * 0.4, line),
                         Qt::AlignRight | Qt::AlignVCenter, tickLabel(v));
    }
    painter.drawText(QRectF(box.left(), box.top() - line * 1.2, box.width(), line), Qt::AlignLeft, panel.title);
    double legendRight = box.right();
    for (auto it = panel.series.rbegin(); it != panel.series.rend(); ++it) {
        const QString label = it->label();
        const double w = metrics.horizontalAdvance(label);
        painter.drawText(QRectF(legendRight - w, box.top() - line * 1.2, w, line), Qt::AlignRight, label);
        painter.fillRect(QRectF(legendRight - w - line * 1.2, box.top() - line * 0.75, line * 0.9, line * 0.3),
                         it->color);
        legendRight -= w + line * 2.0;
    }
}

// Each series as a line, broken where a sample has no value or sampling stopped.
void drawSeries(QPainter& painter, const Panel& panel, const QRectF& box, double maxValue,
                const std::vector<LogSample>& samples, const Layout& at)
{
    for (const Series& s : panel.series) {
        QPainterPath path;
        bool gap = true; // the last sample had no value
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double value = s.value(samples[i]);
            if (std::isnan(value)) {
                gap = true;
                continue;
            }
            const QPointF point(at.xOf(samples[i].utc()), yOf(box, maxValue, value));
            const bool broken = gap || samples[i].utc() - samples[i - 1].utc() > kMaxSampleGapSeconds;
            gap = false;
            if (broken)
                path.moveTo(point);
            else
                path.lineTo(point);
        }
        painter.setPen(QPen(s.color, std::max(1.5, at.line / 8)));
        painter.drawPath(path);
    }
}

// A vertical mark at x, with its label where `labelled`, at `labelTop` (or near the bottom).
void drawMark(QPainter& painter, const QRectF& box, double x, const QString& label, const QColor& labelColour,
              bool labelled, bool labelTop, double labelLines, const Layout& at)
{
    painter.drawLine(QPointF(x, box.top()), QPointF(x, box.bottom()));
    if (!labelled)
        return;
    const double y = labelTop ? box.top() + at.line * 0.1 : box.bottom() - at.line * 1.2;
    painter.save();
    painter.setPen(labelColour);
    painter.drawText(QRectF(x + at.line * 0.3, y, at.line * labelLines, at.line), Qt::AlignLeft, label);
    painter.restore();
}

// Clip starts and variant switches (labelled on the first panel), and where a
// transport stream's error counts grew (labelled on the last).
void drawMarks(QPainter& painter, const QRectF& box, const RunSummary& summary, const std::vector<LogSample>& samples,
               bool first, bool last, const Layout& at)
{
    painter.setPen(QPen(QColor(90, 90, 90), 1, Qt::DashLine));
    for (const ClipSummary& clip : summary.clips) {
        if (clip.firstSample >= samples.size())
            continue;
        drawMark(painter, box, at.xOf(samples[clip.firstSample].utc()), QString::fromStdString(clip.media.name),
                 QColor(60, 60, 60), first, true, 12, at);
    }
    painter.setPen(QPen(QColor(128, 0, 160), 1, Qt::DotLine));
    for (const VariantSwitch& change : summary.run.switches)
        drawMark(painter, box, at.xOf(change.utc), QString("%1k").arg(change.toBandwidth / 1000), QColor(128, 0, 160),
                 first, false, 10, at);
    const QColor spliceColor(0, 128, 128);
    painter.setPen(QPen(spliceColor, 2, Qt::SolidLine));
    for (const LogSplice& splice : summary.splices) {
        // A splice point outside the run's samples is not on the chart.
        const double x = splice.spliceUtc ? at.xOf(*splice.spliceUtc) : box.left() - 1.0;
        if (x < box.left() || x > box.right())
            continue;
        const QString label = QString(splice.outOfNetwork ? (*splice.outOfNetwork ? "out" : "in") : "splice")
            + (splice.eventId ? QString(" %1").arg(*splice.eventId) : QString());
        drawMark(painter, box, x, label, spliceColor, first, true, 8, at);
    }
    const QColor tsErrorColor(230, 85, 13);
    painter.setPen(QPen(tsErrorColor, 1, Qt::DashDotLine));
    for (const TsErrorMark& mark : summary.run.tsErrorMarks)
        drawMark(painter, box, at.xOf(mark.utc), QString("TS +%1").arg(mark.added.total()), tsErrorColor, last, true,
                 10, at);
}

// The time axis under the last panel, and what the marks mean.
void drawTimeAxis(QPainter& painter, bool tsErrorMarks, bool spliceMarks, const Layout& at)
{
    const double line = at.line;
    const double step = niceStep(at.tEnd, 8);
    for (double t = 0.0; t <= at.tEnd + step * 0.01; t += step) {
        const double x = at.left + t / at.tEnd * (at.right - at.left);
        painter.drawLine(QPointF(x, at.bottom), QPointF(x, at.bottom + line * 0.3));
        painter.drawText(QRectF(x - line * 3, at.bottom + line * 0.3, line * 6, line), Qt::AlignHCenter, tickLabel(t));
    }
    QString legend = "Time since the first sample (s); shaded: stalls; bands at the top: black, frozen (blue), silent (orange); dashed: clip starts; dotted: variant switches";
    if (tsErrorMarks)
        legend += "; dash-dot: TS errors";
    if (spliceMarks)
        legend += "; teal: splice points";
    painter.drawText(QRectF(at.left, at.bottom + line * 1.5, at.right - at.left, line), Qt::AlignHCenter, legend);
}

} // namespace

ChartRenderer::ChartRenderer(const StatisticsLog& log, const RunSummary& summary, QString title)
    : m_log(log)
    , m_summary(summary)
    , m_title(std::move(title))
{
}

void ChartRenderer::paint(QPainter& painter, const QRectF& area) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(area, Qt::white);
    const std::vector<Panel> panels = panelsOf(m_summary);

    const QFont font = drawChartTitle(painter, area, m_title);
    const QFontMetricsF metrics(font);
    Layout at;
    at.line = metrics.height();
    const auto& samples = m_log.samples;
    at.t0 = samples.empty() ? 0.0 : samples.front().utc();
    at.tEnd = samples.empty() ? 1.0 : std::max(samples.back().utc() - at.t0 + kSamplePeriodSeconds, 1.0);
    at.areaLeft = area.left();
    at.left = area.left() + metrics.horizontalAdvance("000000") + at.line * 1.5;
    at.right = area.right() - at.line;
    at.top = area.top() + at.line * 2.5;
    at.bottom = area.bottom() - at.line * 3.0;
    const double gap = at.line * 2.2;
    const double panelHeight = (at.bottom - at.top - gap * (panels.size() - 1)) / panels.size();

    for (std::size_t p = 0; p < panels.size(); ++p) {
        const Panel& panel = panels[p];
        const QRectF box(at.left, at.top + p * (panelHeight + gap), at.right - at.left, panelHeight);
        const double maxValue = maxValueOf(panel, samples);
        // Stalls first, so the lines are drawn over them.
        drawBands(painter, box, m_summary.run, at);
        drawAxisAndLegend(painter, panel, box, maxValue, metrics, at);
        drawSeries(painter, panel, box, maxValue, samples, at);
        drawMarks(painter, box, m_summary, samples, p == 0, p + 1 == panels.size(), at);
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(box);
    }
    drawTimeAxis(painter, !m_summary.run.tsErrorMarks.empty(), !m_summary.splices.empty(), at);
    painter.restore();
}

QString ChartRenderer::save(const QString& path, QSize size) const
{
    const auto draw = [this](QPainter& painter, const QRectF& area) { paint(painter, area); };
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "svg") {
        QSvgGenerator svg;
        svg.setFileName(path);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(0, 0), size));
        svg.setTitle(m_title);
        QPainter painter;
        if (!painter.begin(&svg))
            return "Cannot write chart '" + path + "': the file cannot be opened";
        draw(painter, QRectF(QPointF(0, 0), size));
        painter.end();
        if (!QFileInfo::exists(path))
            return "Cannot write chart '" + path + "': the file was not written";
        return {};
    }
    if (suffix != "png")
        return "Cannot write chart '" + path + "': the name must end in .png or .svg";
    return SaveChartPng(path, size, draw);
}

} // namespace zephyrscope::report
