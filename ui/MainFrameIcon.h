#pragma once

#include <QIcon>
#include <QPixmap>

// The program's icon: 32 × 32 and 16 × 16 images in the sixteen
// standard colours, drawn here so the program carries no image files.
QPixmap MainFrameIconImage(int size);
QIcon MainFrameIcon();
