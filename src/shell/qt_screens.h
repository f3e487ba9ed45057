#pragma once

#include "workflow/recording_types.h"

class QScreen;

namespace vidorel {

// The Qt screen that shows a display: the one of the same name, else the
// one holding the display's centre; the primary screen when none does.
QScreen* qtScreenShowing(const DisplayInfo& display);

// The primary screen, else the first; null without any.
QScreen* qtDefaultScreen();

} // namespace vidorel
