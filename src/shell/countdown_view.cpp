#include "shell/countdown_view.h"

#include "shell/qt_screens.h"
#include "shell/x11_compositor.h"

#include <QApplication>
#include <QBitmap>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace vidorel {

namespace {

// Digits are drawn 500 px high, as large as the screen allows.
constexpr int kDigitPixelSize = 500;
// The rim around a digit shown without a compositing manager.
constexpr int kOutlineWidth = 8;

} // namespace

CountdownView::CountdownView(QWidget* parent) : QWidget(parent) {
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                 Qt::X11BypassWindowManagerHint | Qt::WindowTransparentForInput |
                 Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFocusPolicy(Qt::NoFocus);
  setWindowTitle(QStringLiteral("Vidorel Countdown"));
  setObjectName(QStringLiteral("countdown"));
  frameTimer_.setInterval(16);
  connect(&frameTimer_, &QTimer::timeout, this, [this] {
    update();
    if (shownFor_.isValid() && shownFor_.elapsed() > kDigitAnimationLength.count())
      frameTimer_.stop();
  });
}

void CountdownView::setDigit(int value) {
  digit_ = value;
  shownFor_.start();
  if (composited_)
    frameTimer_.start();
  updateShape();
  update();
}

void CountdownView::setComposited(bool composited) {
  composited_ = composited;
  if (!composited_)
    frameTimer_.stop();
  updateShape();
  update();
}

void CountdownView::resizeEvent(QResizeEvent*) {
  updateShape();
}

// The digit's outline in the window, centred and scaled about its centre.
QPainterPath CountdownView::digitPath(double scale) const {
  QFont font = this->font();
  font.setPixelSize(kDigitPixelSize);
  font.setBold(true);
  QPainterPath path;
  path.addText(0, 0, font, QString::number(digit_));
  QRectF bounds = path.boundingRect();
  QTransform place;
  place.translate(rect().center().x(), rect().center().y());
  place.scale(scale, scale);
  place.translate(-bounds.center().x(), -bounds.center().y());
  return place.map(path);
}

void CountdownView::updateShape() {
  if (composited_) {
    clearMask();
    return;
  }
  // The window keeps at least one pixel: an empty mask would mean none.
  QBitmap shape(size());
  shape.fill(Qt::color0);
  {
    QPainter painter(&shape);
    painter.setRenderHint(QPainter::Antialiasing, false);
    if (digit_ > 0) {
      QPainterPath path = digitPath(1.0);
      painter.setPen(QPen(Qt::color1, kOutlineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      painter.setBrush(Qt::color1);
      painter.drawPath(path);
    } else {
      painter.fillRect(0, 0, 1, 1, Qt::color1);
    }
  }
  setMask(shape);
}

void CountdownView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.fillRect(rect(), Qt::transparent);
  if (digit_ <= 0)
    return;
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.setRenderHint(QPainter::Antialiasing);

  if (!composited_) {
    // A dark rim keeps the white digit readable over a light desktop.
    QPainterPath path = digitPath(1.0);
    painter.setPen(
        QPen(QColor(40, 40, 40), kOutlineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    painter.fillPath(path, Qt::white);
    return;
  }

  Milliseconds elapsed(shownFor_.isValid() ? shownFor_.elapsed() : 0);
  DigitAppearance look = digitAppearance(elapsed);
  painter.setOpacity(look.opacity);
  painter.fillPath(digitPath(look.scale), Qt::white);
}

CountdownWindow::CountdownWindow() = default;

CountdownWindow::~CountdownWindow() {
  hide();
}

void CountdownWindow::show() {
  hide();
  view_ = new CountdownView();
  view_->setAttribute(Qt::WA_DeleteOnClose);
  view_->setComposited(desktopComposites());
  QScreen* screen = screen_ ? screen_() : nullptr;
  if (!screen)
    screen = qtDefaultScreen();
  if (screen)
    view_->setGeometry(screen->geometry());
  view_->show();
  view_->raise();
}

void CountdownWindow::showDigit(int value) {
  if (view_)
    view_->setDigit(value);
}

void CountdownWindow::hide() {
  if (!view_)
    return;
  view_->close();
  view_ = nullptr;
}

void LocalEscapeMonitor::install(std::function<void()> cancel) {
  cancel_ = std::move(cancel);
  if (installed_ || !qApp)
    return;
  qApp->installEventFilter(this);
  installed_ = true;
}

void LocalEscapeMonitor::remove() {
  cancel_ = nullptr;
  if (!installed_)
    return;
  if (qApp)
    qApp->removeEventFilter(this);
  installed_ = false;
}

bool LocalEscapeMonitor::eventFilter(QObject* watched, QEvent* event) {
  // A key press reaches the native window first and then its widgets; only
  // the window's delivery counts, so one press cancels once.
  if (event->type() == QEvent::KeyPress && watched->isWindowType()) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape && cancel_)
      cancel_();
  }
  return false;
}

} // namespace vidorel
