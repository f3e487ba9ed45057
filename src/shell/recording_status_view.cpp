#include "shell/recording_status_view.h"

#include "shell/x11_compositor.h"

#include <QBitmap>
#include <QFont>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace vidorel {

namespace {

QColor markColour(StatusMark mark) {
  switch (mark) {
  case StatusMark::secondary:
    return QColor(152, 152, 157);
  case StatusMark::red:
    return QColor(255, 59, 48);
  case StatusMark::yellow:
    return QColor(255, 204, 0);
  case StatusMark::blue:
    return QColor(0, 122, 255);
  }
  return Qt::gray;
}

QColor whiteAt(double alpha) {
  QColor colour(Qt::white);
  colour.setAlphaF(static_cast<float>(alpha));
  return colour;
}

constexpr int kPaddingX = 12;
constexpr int kPaddingY = 10;
constexpr int kRowGap = 6;
constexpr int kHintGap = 2;
// "Ctrl+Shift+Return" in the 10-pixel monospaced font.
constexpr int kKeyColumn = 104;
constexpr double kCornerRadius = 10;

} // namespace

RecordingStatusPanel::RecordingStatusPanel(QWidget* parent) : QWidget(parent) {
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                 Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setWindowTitle(QStringLiteral("Vidorel Status"));
  setObjectName(QStringLiteral("status"));
  setFixedSize(kStatusPanelWidth, kStatusPanelHeight);
  setComposited(desktopComposites());
}

void RecordingStatusPanel::setComposited(bool composited) {
  composited_ = composited;
  if (composited_) {
    clearMask();
    return;
  }
  QBitmap shape(size());
  shape.fill(Qt::color0);
  QPainter painter(&shape);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::color1);
  painter.drawRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  painter.end();
  setMask(shape);
}

void RecordingStatusPanel::setContent(StatusContent content) {
  content_ = std::move(content);
  setAccessibleName(QString::fromStdString(content_.title));
  update();
}

void RecordingStatusPanel::moveToTopCentre(QScreen* screen) {
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  QRect available = screen->availableGeometry();
  PanelRect workArea{available.x(), available.y(), available.width(), available.height()};
  PanelPoint origin = statusPanelOrigin(workArea, width());
  move(origin.x, origin.y);
}

void RecordingStatusPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.fillRect(rect(), Qt::transparent);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);

  QPainterPath background;
  background.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  // Opaque without a compositor: the desktop cannot show through.
  painter.fillPath(background, QColor(0, 0, 0, composited_ ? 199 : 255));

  QFont titleFont = font();
  titleFont.setPixelSize(12);
  titleFont.setWeight(QFont::DemiBold);
  QFontMetrics titleMetrics(titleFont);
  int y = kPaddingY;
  int rowHeight = std::max(10, titleMetrics.height());
  painter.setPen(Qt::NoPen);
  painter.setBrush(markColour(content_.mark));
  painter.drawEllipse(QRectF(kPaddingX, y + (rowHeight - 10) / 2.0, 10, 10));
  painter.setFont(titleFont);
  painter.setPen(Qt::white);
  painter.drawText(QRect(kPaddingX + 16, y, width() - 2 * kPaddingX - 16, rowHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(content_.title));
  y += rowHeight + kRowGap;

  painter.setPen(QPen(whiteAt(0.25), 1));
  painter.drawLine(kPaddingX, y, width() - kPaddingX, y);
  y += 1 + kRowGap;

  QFont keyFont(QStringLiteral("monospace"));
  keyFont.setStyleHint(QFont::Monospace);
  keyFont.setPixelSize(10);
  keyFont.setWeight(QFont::Medium);
  QFont labelFont = font();
  labelFont.setPixelSize(10);
  int hintHeight = std::max(QFontMetrics(keyFont).height(), QFontMetrics(labelFont).height());
  for (const StatusHint& hint : content_.hints) {
    painter.setFont(keyFont);
    painter.setPen(whiteAt(0.9));
    painter.drawText(QRect(kPaddingX, y, kKeyColumn, hintHeight), Qt::AlignLeft | Qt::AlignVCenter,
                     QString::fromStdString(hint.keyText));
    painter.setFont(labelFont);
    painter.setPen(whiteAt(0.75));
    int labelX = kPaddingX + kKeyColumn + 6;
    painter.drawText(QRect(labelX, y, width() - labelX - kPaddingX, hintHeight),
                     Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(hint.label));
    y += hintHeight + kHintGap;
  }
}

void RecordingStatusPanel::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton)
    return;
  dragging_ = true;
  dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void RecordingStatusPanel::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_)
    return;
  move(event->globalPosition().toPoint() - dragOffset_);
}

void RecordingStatusPanel::mouseReleaseEvent(QMouseEvent*) {
  dragging_ = false;
}

} // namespace vidorel
