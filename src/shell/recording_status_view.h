#pragma once

#include "shell/recording_status.h"

#include <QPoint>
#include <QWidget>

class QScreen;

namespace vidorel {

// The floating status panel: frameless, above other windows, never focused
// or activating, dragged by its background. Its native window carries the
// program's pid, so the screen recorder leaves it out of every take.
class RecordingStatusPanel final : public QWidget {
  Q_OBJECT
public:
  explicit RecordingStatusPanel(QWidget* parent = nullptr);

  void setContent(StatusContent content);
  const StatusContent& content() const { return content_; }

  // Top centre of the primary screen's work area.
  void moveToTopCentre(QScreen* screen = nullptr);

  // Without a compositing manager the clear corners would show black: the
  // window is then cut to its rounded shape.
  void setComposited(bool composited);
  bool composited() const { return composited_; }

protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

private:
  StatusContent content_;
  bool composited_ = true;
  bool dragging_ = false;
  QPoint dragOffset_;
};

} // namespace vidorel
