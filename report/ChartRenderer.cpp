#include "ChartRenderer.h"

#include "ChartScale.h"

#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>

#include <algorithm>
#include <cmath>
#include <limits>
#include <functional>

namespace zephyrscope::report {

namespace {

struct Series {
    QString label;
    QColor color;
    std::function<double(const LogSample&)> value;
};

struct Panel {
    QString title;
    std::vector<Series> series;
    double fixedMax = 0.0; // 0: from the data
};

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

    std::vector<Panel> panels = {
        {"Bit rate (kbit/s)", {{"Bit_Rate", QColor(31, 119, 180), [](const LogSample& s) { return s.network.bitRate / 1000.0; }}}},
        {"Frame rate (fps)",
         {{"Frame_Rate", QColor(44, 160, 44), [](const LogSample& s) { return s.fps; }},
          {"IFramerate", QColor(255, 127, 14), [](const LogSample& s) { return s.iFramerate; }}}},
        {"Buffering progress (%)",
         {{"Buf_Progress", QColor(148, 103, 189), [](const LogSample& s) { return double(s.network.bufferingProgress); }}},
         100.0},
        {"Lost packets", {{"Lost_Pkts", QColor(214, 39, 40), [](const LogSample& s) { return double(s.network.lostPackets); }}}},
    };
    // Only a JSON Lines log of a stream with a wall clock has it; gaps where a sample has none.
    if (m_summary.run.latency)
        panels.push_back({"Live latency (ms)",
                          {{"latency_ms", QColor(23, 190, 207), [](const LogSample& s) {
                                return s.network.liveLatencyMs ? *s.network.liveLatencyMs : std::numeric_limits<double>::quiet_NaN();
                            }}}});

    const QFont font = drawChartTitle(painter, area, m_title);
    const QFontMetricsF metrics(font);
    const double line = metrics.height();

    const auto& samples = m_log.samples;
    const double t0 = samples.empty() ? 0.0 : samples.front().utc();
    const double tEnd = samples.empty() ? 1.0 : std::max(samples.back().utc() - t0 + kSamplePeriodSeconds, 1.0);
    const double left = area.left() + metrics.horizontalAdvance("000000") + line * 1.5;
    const double right = area.right() - line;
    const double top = area.top() + line * 2.5;
    const double bottom = area.bottom() - line * 3.0;
    const double gap = line * 2.2;
    const double panelHeight = (bottom - top - gap * (panels.size() - 1)) / panels.size();
    auto xOf = [&](double utc) { return left + (utc - t0) / tEnd * (right - left); };

    for (std::size_t p = 0; p < panels.size(); ++p) {
        const Panel& panel = panels[p];
        const QRectF box(left, top + p * (panelHeight + gap), right - left, panelHeight);

        double maxValue = panel.fixedMax;
        if (maxValue <= 0.0) {
            for (const Series& s : panel.series)
                for (const LogSample& sample : samples)
                    maxValue = std::max(maxValue, s.value(sample));
            const double step = niceStep(maxValue, 4);
            maxValue = std::max(step, std::ceil(maxValue / step) * step);
        }
        auto yOf = [&](double v) { return box.bottom() - std::clamp(v / maxValue, 0.0, 1.05) * box.height(); };

        // Stalls first, so the lines are drawn over them.
        for (const Period& stall : m_summary.run.stallPeriods)
            painter.fillRect(QRectF(QPointF(xOf(stall.begin), box.top()), QPointF(xOf(stall.end), box.bottom())),
                             QColor(255, 0, 0, 40));
        // What the viewer got, in a band along the top: black, frozen, silent.
        const double band = box.height() * 0.04;
        int lane = 0;
        for (const auto& [stretches, colour] : {std::pair {&m_summary.run.black, QColor(0, 0, 0, 160)},
                                                std::pair {&m_summary.run.frozen, QColor(0, 90, 255, 160)},
                                                std::pair {&m_summary.run.silent, QColor(255, 150, 0, 160)}}) {
            for (const Period& p : stretches->periods)
                painter.fillRect(QRectF(QPointF(xOf(p.begin), box.top() + lane * band),
                                        QPointF(xOf(p.end), box.top() + (lane + 1) * band)),
                                 colour);
            ++lane;
        }

        painter.setPen(QPen(QColor(220, 220, 220), 1));
        const double step = niceStep(maxValue, 4);
        painter.setPen(Qt::black);
        for (double v = 0.0; v <= maxValue + step * 0.01; v += step) {
            painter.setPen(QPen(QColor(225, 225, 225), 1));
            painter.drawLine(QPointF(box.left(), yOf(v)), QPointF(box.right(), yOf(v)));
            painter.setPen(Qt::black);
            painter.drawText(QRectF(area.left(), yOf(v) - line / 2, left - area.left() - line * 0.4, line),
                             Qt::AlignRight | Qt::AlignVCenter, tickLabel(v));
        }
        painter.drawText(QRectF(box.left(), box.top() - line * 1.2, box.width(), line), Qt::AlignLeft, panel.title);

        // Legend, right-aligned above the panel.
        double legendRight = box.right();
        for (auto it = panel.series.rbegin(); it != panel.series.rend(); ++it) {
            const double w = metrics.horizontalAdvance(it->label);
            painter.drawText(QRectF(legendRight - w, box.top() - line * 1.2, w, line), Qt::AlignRight, it->label);
            painter.fillRect(QRectF(legendRight - w - line * 1.2, box.top() - line * 0.75, line * 0.9, line * 0.3),
                             it->color);
            legendRight -= w + line * 2.0;
        }

        for (const Series& s : panel.series) {
            QPainterPath path;
            bool gap = true; // the last sample had no value
            for (std::size_t i = 0; i < samples.size(); ++i) {
                const double value = s.value(samples[i]);
                if (std::isnan(value)) {
                    gap = true;
                    continue;
                }
                const QPointF point(xOf(samples[i].utc()), yOf(value));
                const bool broken = gap || samples[i].utc() - samples[i - 1].utc() > kMaxSampleGapSeconds;
                gap = false;
                if (broken)
                    path.moveTo(point);
                else
                    path.lineTo(point);
            }
            painter.setPen(QPen(s.color, std::max(1.5, line / 8)));
            painter.drawPath(path);
        }

        // Clip boundaries.
        painter.setPen(QPen(QColor(90, 90, 90), 1, Qt::DashLine));
        for (const ClipSummary& clip : m_summary.clips) {
            if (clip.firstSample >= samples.size())
                continue;
            const double x = xOf(samples[clip.firstSample].utc());
            painter.drawLine(QPointF(x, box.top()), QPointF(x, box.bottom()));
            if (p == 0) {
                painter.save();
                painter.setPen(QColor(60, 60, 60));
                painter.drawText(QRectF(x + line * 0.3, box.top() + line * 0.1, line * 12, line), Qt::AlignLeft,
                                 QString::fromStdString(clip.media.name));
                painter.restore();
            }
        }

        // Variant switches of adaptive streams, labelled with the new declared bandwidth.
        painter.setPen(QPen(QColor(128, 0, 160), 1, Qt::DotLine));
        for (const VariantSwitch& change : m_summary.run.switches) {
            const double x = xOf(change.utc);
            painter.drawLine(QPointF(x, box.top()), QPointF(x, box.bottom()));
            if (p == 0) {
                painter.save();
                painter.setPen(QColor(128, 0, 160));
                painter.drawText(QRectF(x + line * 0.3, box.bottom() - line * 1.2, line * 10, line), Qt::AlignLeft,
                                 QString("%1k").arg(change.toBandwidth / 1000));
                painter.restore();
            }
        }

        // Transport stream errors, where a tick's counts grew, labelled with how many were added.
        const QColor tsErrorColor(230, 85, 13);
        painter.setPen(QPen(tsErrorColor, 1, Qt::DashDotLine));
        for (const TsErrorMark& mark : m_summary.run.tsErrorMarks) {
            const double x = xOf(mark.utc);
            painter.drawLine(QPointF(x, box.top()), QPointF(x, box.bottom()));
            if (p + 1 == panels.size()) {
                painter.save();
                painter.setPen(tsErrorColor);
                painter.drawText(QRectF(x + line * 0.3, box.top() + line * 0.1, line * 10, line), Qt::AlignLeft,
                                 QString("TS +%1").arg(mark.added.total()));
                painter.restore();
            }
        }

        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(box);
    }

    // Time axis under the last panel.
    const double step = niceStep(tEnd, 8);
    for (double t = 0.0; t <= tEnd + step * 0.01; t += step) {
        const double x = left + t / tEnd * (right - left);
        painter.drawLine(QPointF(x, bottom), QPointF(x, bottom + line * 0.3));
        painter.drawText(QRectF(x - line * 3, bottom + line * 0.3, line * 6, line), Qt::AlignHCenter, tickLabel(t));
    }
    QString legend = "Time since the first sample (s); shaded: stalls; bands at the top: black, frozen (blue), silent (orange); dashed: clip starts; dotted: variant switches";
    if (!m_summary.run.tsErrorMarks.empty())
        legend += "; dash-dot: TS errors";
    painter.drawText(QRectF(left, bottom + line * 1.5, right - left, line), Qt::AlignHCenter, legend);
    painter.restore();
}

QString ChartRenderer::save(const QString& path, QSize size) const
{
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
        paint(painter, QRectF(QPointF(0, 0), size));
        painter.end();
        if (!QFileInfo::exists(path))
            return "Cannot write chart '" + path + "': the file was not written";
        return {};
    }
    if (suffix != "png")
        return "Cannot write chart '" + path + "': the name must end in .png or .svg";
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        paint(painter, QRectF(QPointF(0, 0), size));
    }
    if (!image.save(path, "PNG"))
        return "Cannot write chart '" + path + "': the file cannot be written";
    return {};
}

} // namespace zephyrscope::report
