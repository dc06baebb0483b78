// The wizard's pictures: drawn here in code, so the program carries no image files.
#pragma once

#include <QIcon>
#include <QPixmap>

// The tall picture beside the welcome and finish pages.
QPixmap wizard_watermark();
// The small picture at the right of the header band.
QPixmap wizard_logo();
// The window icon.
QIcon wizard_icon();
