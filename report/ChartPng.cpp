#include "ChartPng.h"

#include <QImage>
#include <QPainter>

namespace zephyrscope::report {

QString SaveChartPng(const QString& path, QSize size, const std::function<void(QPainter&, const QRectF&)>& paint)
{
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
