#include "review/trim_bar_view.h"

#include "review/trim_bar.h"

#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace vidorel {

namespace {

QColor withAlpha(QColor color, double alpha) {
  color.setAlphaF(static_cast<float>(alpha));
  return color;
}

} // namespace

TrimBarView::TrimBarView(TrimBar& bar, QWidget* parent) : QWidget(parent), bar_(bar) {
  setObjectName("trimBar");
  setMouseTracking(false);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setFixedHeight(static_cast<int>(TrimBar::barHeight + TrimBar::labelGap + TrimBar::labelHeight));
}

QSize TrimBarView::sizeHint() const {
  return {424, static_cast<int>(TrimBar::barHeight + TrimBar::labelGap + TrimBar::labelHeight)};
}

QSize TrimBarView::minimumSizeHint() const {
  return {100, sizeHint().height()};
}

void TrimBarView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const double h = TrimBar::barHeight;
  const double hw = TrimBar::handleWidth;
  TrimBarGeometry g = bar_.geometry(width());
  QColor accent = palette().color(QPalette::Highlight);
  QColor secondary = palette().color(QPalette::PlaceholderText);
  painter.setPen(Qt::NoPen);

  auto fillRounded = [&](double x, double w, double radius, const QColor& color) {
    if (w <= 0)
      return;
    QPainterPath path;
    path.addRoundedRect(QRectF(x, 0, w, h), radius, radius);
    painter.fillPath(path, color);
  };

  fillRounded(hw, g.trackWidth, 4, withAlpha(secondary, 0.15));
  if (g.shadeBefore)
    fillRounded(hw, g.startFraction * g.trackWidth, 4, withAlpha(secondary, 0.30));
  if (g.shadeAfter) {
    double x = hw + g.endFraction * g.trackWidth;
    fillRounded(x, hw + g.trackWidth - x, 4, withAlpha(secondary, 0.30));
  }
  fillRounded(g.rangeX, g.rangeWidth, 0, withAlpha(accent, 0.15));

  painter.fillRect(QRectF(g.playheadX - 1, 0, 2, h), withAlpha(Qt::white, 0.9));

  fillRounded(g.startHandleX - hw / 2, hw, 3, accent);
  fillRounded(g.endHandleX - hw / 2, hw, 3, accent);

  TrimBarLabels labels = bar_.labels();
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSize(10);
  QRectF row(hw, h + TrimBar::labelGap, std::max(0.0, g.trackWidth), TrimBar::labelHeight);
  painter.setFont(mono);
  painter.setPen(secondary);
  painter.drawText(row, Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(labels.start));
  painter.drawText(row, Qt::AlignRight | Qt::AlignVCenter, QString::fromStdString(labels.end));
  QFont medium = mono;
  medium.setWeight(QFont::Medium);
  painter.setFont(medium);
  painter.setPen(accent);
  painter.drawText(row, Qt::AlignHCenter | Qt::AlignVCenter, QString::fromStdString(labels.length));
}

void TrimBarView::mousePressEvent(QMouseEvent* event) {
  QPointF p = event->position();
  std::optional<TrimHandle> handle = bar_.handleAt(p.x(), p.y(), width());
  if (!handle || event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  bar_.press(*handle, p.x(), p.y());
  event->accept();
}

void TrimBarView::mouseMoveEvent(QMouseEvent* event) {
  QPointF p = event->position();
  bar_.move(p.x(), p.y(), width());
  update();
}

void TrimBarView::mouseReleaseEvent(QMouseEvent* event) {
  QPointF p = event->position();
  bar_.release(p.x(), p.y(), width());
  update();
}

} // namespace vidorel
