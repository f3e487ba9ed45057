#include "shell/countdown_view.h"

#include <QApplication>
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

QScreen* overlayScreen() {
  if (QScreen* primary = QGuiApplication::primaryScreen())
    return primary;
  const QList<QScreen*> screens = QGuiApplication::screens();
  return screens.isEmpty() ? nullptr : screens.first();
}

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
  frameTimer_.start();
  update();
}

void CountdownView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.fillRect(rect(), Qt::transparent);
  if (digit_ <= 0)
    return;
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.setRenderHint(QPainter::Antialiasing);

  Milliseconds elapsed(shownFor_.isValid() ? shownFor_.elapsed() : 0);
  DigitAppearance look = digitAppearance(elapsed);

  QFont font = painter.font();
  font.setPixelSize(kDigitPixelSize);
  font.setBold(true);
  QPainterPath path;
  path.addText(0, 0, font, QString::number(digit_));
  QRectF bounds = path.boundingRect();

  painter.translate(rect().center());
  painter.scale(look.scale, look.scale);
  painter.translate(-bounds.center());
  painter.setOpacity(look.opacity);
  painter.fillPath(path, Qt::white);
}

CountdownWindow::CountdownWindow() = default;

CountdownWindow::~CountdownWindow() {
  hide();
}

void CountdownWindow::show() {
  hide();
  view_ = new CountdownView();
  view_->setAttribute(Qt::WA_DeleteOnClose);
  if (QScreen* screen = overlayScreen())
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
