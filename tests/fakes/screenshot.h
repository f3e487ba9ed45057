#pragma once

#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSet>
#include <QString>
#include <QTest>
#include <QWidget>

namespace vidorel::testing {

// `window` shown, read back from the screen (not its own painting) and saved
// as build/artifacts/<name>.png.
inline QImage saveScreenshot(QWidget& window, const QString& name) {
  window.show();
  window.raise();
  if (!QTest::qWaitForWindowExposed(&window))
    return {};
  QTest::qWait(200); // layouts settle, the first paint reaches the server
  QScreen* screen = window.screen();
  QImage image = screen->grabWindow(window.winId()).toImage();
  QDir().mkpath(QStringLiteral(VIDOREL_ARTIFACTS_DIR));
  image.save(QStringLiteral(VIDOREL_ARTIFACTS_DIR "/") + name + QStringLiteral(".png"));
  return image;
}

// Number of distinct colours, a cheap check that something was drawn.
inline int distinctColours(const QImage& image) {
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); y += 2)
    for (int x = 0; x < image.width(); x += 2)
      colours.insert(image.pixel(x, y));
  return static_cast<int>(colours.size());
}

} // namespace vidorel::testing
