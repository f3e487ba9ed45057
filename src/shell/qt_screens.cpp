#include "shell/qt_screens.h"

#include <QGuiApplication>
#include <QScreen>

namespace vidorel {

QScreen* qtDefaultScreen() {
  if (QScreen* primary = QGuiApplication::primaryScreen())
    return primary;
  const QList<QScreen*> screens = QGuiApplication::screens();
  return screens.isEmpty() ? nullptr : screens.first();
}

QScreen* qtScreenShowing(const DisplayInfo& display) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  for (QScreen* screen : screens)
    if (screen->name().toStdString() == display.name)
      return screen;
  // Displays are in device pixels, Qt's geometry in its own.
  for (QScreen* screen : screens) {
    double ratio = screen->devicePixelRatio();
    QPoint centre(static_cast<int>((display.x + display.width / 2) / ratio),
                  static_cast<int>((display.y + display.height / 2) / ratio));
    if (screen->geometry().contains(centre))
      return screen;
  }
  return qtDefaultScreen();
}

} // namespace vidorel
