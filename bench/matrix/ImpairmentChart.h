#pragma once

#include <QColor>
#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

class QFontMetricsF;
class QPainter;
class QRectF;

namespace zephyrscope::bench {

// Draws figures against the impairments they were measured under: one panel a
// figure, the impairments along the bottom, one bar a protocol in each group.
// A value that is not a number (a cell that did not play, or a protocol not
// measured under that impairment) leaves its bar out.
class ImpairmentChart {
public:
    struct Panel {
        QString title;
        // One value per impairment for each protocol, in the order of `protocols`.
        std::vector<std::vector<double>> values;
    };

    ImpairmentChart(QString title, QStringList impairments, QStringList protocols, std::vector<Panel> panels);

    void paint(QPainter& painter, const QRectF& area) const;
    // Writes a PNG. Returns an empty string on success, else what failed.
    QString save(const QString& path, QSize size) const;

    // The bars' colours, one a protocol, in order (they repeat after ten).
    static QColor colorOf(int protocol);

private:
    void drawLegend(QPainter& painter, const QFontMetricsF& metrics, double left, double top) const;
    // One panel's value axis, title and bars in box; groups: the impairments, at least one.
    void drawPanel(QPainter& painter, const Panel& panel, const QRectF& box, double areaLeft, double line,
                   int groups) const;

    QString m_title;
    QStringList m_impairments, m_protocols;
    std::vector<Panel> m_panels;
};

} // namespace zephyrscope::bench
