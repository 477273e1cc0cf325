#pragma once

#include <QSize>
#include <QString>

#include <functional>

class QPainter;
class QRectF;

namespace zephyrscope::report {

// Draws a chart on a white image of `size` and writes it to path as a PNG, for
// every chart of the report. Returns an empty string on success, else what failed.
QString SaveChartPng(const QString& path, QSize size, const std::function<void(QPainter&, const QRectF&)>& paint);

} // namespace zephyrscope::report
