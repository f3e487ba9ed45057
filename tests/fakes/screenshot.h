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

// Shows `window`, waits until the X server has drawn it, reads its pixels
// back from the screen (not from the widget's own painting) and saves them
// as build/artifacts/<name>.png. Returns the image read.
inline QImage saveScreenshot(QWidget& window, const QString& name) {
  window.show();
  window.raise();
  if (!QTest::qWaitForWindowExposed(&window))
    return {};
  // Let the layouts settle and the first paint reach the server.
  QTest::qWait(200);
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
