#pragma once

namespace vidorel {

// Whether translucent windows show as such: on X11, whether a compositing
// manager runs on the application's screen (it owns _NET_WM_CM_Sn). Without one, a translucent
// window is drawn opaque, so the overlays cut their windows to their own shape instead. True off
// X11: a Wayland compositor always composites.
bool desktopComposites();

} // namespace vidorel
