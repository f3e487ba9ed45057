#pragma once

#include "shell/countdown_overlay.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPainterPath>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

class QScreen;

namespace vidorel {

// One digit filling the screen, growing and fading over its first second.
class CountdownView final : public QWidget {
  Q_OBJECT
public:
  explicit CountdownView(QWidget* parent = nullptr);

  void setDigit(int value);
  int digit() const { return digit_; }

  // With a compositing manager the digit grows and fades over a clear
  // window. Without one a clear window would show black, so the window is
  // cut to the digit's outline and the digit stands still, opaque.
  void setComposited(bool composited);
  bool composited() const { return composited_; }

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  QPainterPath digitPath(double scale) const;
  void updateShape();

  int digit_ = 0;
  bool composited_ = true;
  QElapsedTimer shownFor_;
  QTimer frameTimer_;
};

// The overlay window: frameless, transparent, click-through, above every
// other window, never activated. A new window is made for every run.
class CountdownWindow final : public CountdownSurface {
public:
  CountdownWindow();
  ~CountdownWindow() override;

  void show() override;
  void showDigit(int value) override;
  void hide() override;

  // The window while a countdown runs; null otherwise.
  CountdownView* view() const { return view_; }
  // Where the next countdown shows (the monitor the take records); the
  // primary screen when unset or when it answers null.
  void setScreen(std::function<QScreen*()> screen) { screen_ = std::move(screen); }

private:
  QPointer<CountdownView> view_;
  std::function<QScreen*()> screen_;
};

// Escape pressed in any of the program's own windows. The key event is
// passed on unchanged.
class LocalEscapeMonitor final : public QObject, public CountdownCancelInput {
  Q_OBJECT
public:
  void install(std::function<void()> cancel) override;
  void remove() override;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  std::function<void()> cancel_;
  bool installed_ = false;
};

} // namespace vidorel
