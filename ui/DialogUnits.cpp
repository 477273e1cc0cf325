#include "DialogUnits.h"

#include <QFontMetrics>

#include <algorithm>
#include <cmath>

namespace {

// The average character width is taken over the Latin letters, both cases, rather
// than from the font's own average-width field, which many fonts leave inaccurate.
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kAlphabetLength = 52;

// units × base / divisor, rounded half away from zero.
int scale(int units, int base, int divisor)
{
    return static_cast<int>(std::lround(static_cast<double>(units) * base / divisor));
}

} // namespace

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int alphabetWidth = metrics.horizontalAdvance(QString::fromLatin1(kAlphabet));
    m_baseX = std::max(1, static_cast<int>(std::lround(static_cast<double>(alphabetWidth) / kAlphabetLength)));
    m_baseY = std::max(1, metrics.height());
}

QFont DialogUnits::dialogFont()
{
    QFont font(QStringLiteral("Sans Serif"), 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

int DialogUnits::x(int units) const
{
    return scale(units, m_baseX, 4);
}

int DialogUnits::y(int units) const
{
    return scale(units, m_baseY, 8);
}

QRect DialogUnits::toPixels(const QRect& units) const
{
    return QRect(x(units.x()), y(units.y()), x(units.width()), y(units.height()));
}

QSize DialogUnits::toPixels(const QSize& units) const
{
    return QSize(x(units.width()), y(units.height()));
}
