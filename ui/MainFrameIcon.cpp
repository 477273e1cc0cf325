#include "MainFrameIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>

namespace {

// Colours of the standard sixteen-colour palette.
const QColor kNavy(0x00, 0x00, 0x80);
const QColor kBlue(0x00, 0x00, 0xFF);
const QColor kLime(0x00, 0xFF, 0x00);
const QColor kYellow(0xFF, 0xFF, 0x00);
const QColor kWhite(0xFF, 0xFF, 0xFF);
const QColor kGray(0x80, 0x80, 0x80);

} // namespace

QPixmap MainFrameIconImage(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    // Sixteen colours leave no room for blended edges.
    p.setRenderHint(QPainter::Antialiasing, false);
    const qreal u = size / 16.0; // drawn on a 16-unit grid, scaled to the image

    // A screen with a frame: the scope.
    p.setPen(QPen(kGray, 1));
    p.setBrush(kNavy);
    p.drawRect(QRectF(0, 1 * u, size - 1, 13 * u));
    p.setPen(QPen(kBlue, 1));
    p.drawLine(QPointF(1 * u, 7.5 * u), QPointF(15 * u, 7.5 * u));

    // The measured trace: a breeze of a wave.
    QPolygonF trace;
    const qreal ys[] = {9, 8, 5, 4, 6, 10, 11, 9, 6, 5, 7, 9, 10, 8, 6};
    for (int i = 0; i < 15; ++i)
        trace << QPointF((i + 0.5) * u, ys[i] * u);
    p.setPen(QPen(kLime, std::max(1.0, u)));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(trace);

    // A "Z" in the corner for the name.
    QPainterPath z;
    z.moveTo(1.5 * u, 2.5 * u);
    z.lineTo(5.5 * u, 2.5 * u);
    z.lineTo(1.5 * u, 6 * u);
    z.lineTo(5.5 * u, 6 * u);
    p.setPen(QPen(kYellow, std::max(1.0, u)));
    p.drawPath(z);

    // A stand under the screen.
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawRect(QRectF(6 * u, 14 * u, 4 * u, 2 * u));
    return pixmap;
}

QIcon MainFrameIcon()
{
    QIcon icon;
    icon.addPixmap(MainFrameIconImage(32));
    icon.addPixmap(MainFrameIconImage(16));
    return icon;
}
