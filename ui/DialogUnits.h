#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

// Converts the dialog templates' dialog units to pixels. One horizontal unit is a
// quarter of the dialog font's average character width, one vertical unit an eighth
// of its height, so a layout keeps its proportions whatever the font resolves to.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    // The font every dialog template names: a sans-serif face at 8 points.
    static QFont dialogFont();

    int baseX() const { return m_baseX; } // pixels per 4 horizontal units
    int baseY() const { return m_baseY; } // pixels per 8 vertical units

    QRect toPixels(const QRect& units) const;
    QSize toPixels(const QSize& units) const;

private:
    int x(int units) const;
    int y(int units) const;

    int m_baseX;
    int m_baseY;
};
