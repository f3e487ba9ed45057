#pragma once

#include <QWidget>

namespace vidorel {

class TrimBar;

// Paints a TrimBar and hands it the pointer; every rule lives in TrimBar.
class TrimBarView final : public QWidget {
  Q_OBJECT
public:
  explicit TrimBarView(TrimBar& bar, QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

private:
  TrimBar& bar_;
};

} // namespace vidorel
