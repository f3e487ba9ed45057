#include "shell/tray_view.h"

#include "shell/shell_control.h"
#include "shortcuts/shortcut_binding.h"

#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace vidorel {

namespace {

// The clapperboard: a slate with a hinged, striped clapper above it.
void drawClapperboard(QPainter& painter, qreal size) {
  qreal unit = size / 24.0;
  QColor body(214, 214, 219);
  QColor outline(40, 40, 46);
  painter.setPen(QPen(outline, 1.2 * unit));

  QRectF slate(3 * unit, 10 * unit, 18 * unit, 11 * unit);
  QPainterPath slatePath;
  slatePath.addRoundedRect(slate, 1.5 * unit, 1.5 * unit);
  painter.fillPath(slatePath, body);
  painter.drawPath(slatePath);

  // The clapper, opened a little about its left hinge.
  painter.save();
  painter.translate(3 * unit, 9 * unit);
  painter.rotate(-14);
  QRectF clapper(0, -4 * unit, 18 * unit, 4 * unit);
  painter.fillRect(clapper, body);
  painter.drawRect(clapper);
  painter.setPen(Qt::NoPen);
  for (int stripe = 0; stripe < 4; ++stripe) {
    QPolygonF band;
    qreal x = (1 + stripe * 4.5) * unit;
    band << QPointF(x, 0) << QPointF(x + 2.2 * unit, 0) << QPointF(x + 4.2 * unit, -4 * unit)
         << QPointF(x + 2 * unit, -4 * unit);
    painter.setBrush(outline);
    painter.drawPolygon(band.intersected(QPolygonF(clapper)));
  }
  painter.restore();

  // A small "play" mark on the slate.
  QPolygonF play;
  play << QPointF(10 * unit, 12.5 * unit) << QPointF(10 * unit, 18.5 * unit)
       << QPointF(15 * unit, 15.5 * unit);
  painter.setPen(Qt::NoPen);
  painter.setBrush(outline);
  painter.drawPolygon(play);
}

void addEntry(QMenu& menu, const MenuEntry& entry,
              const std::function<void(const MenuEntry&)>& choose) {
  switch (entry.kind) {
  case MenuEntry::Kind::separator:
    menu.addSeparator();
    return;
  case MenuEntry::Kind::caption: {
    QAction* caption = menu.addAction(QString::fromStdString(entry.title));
    QFont font = caption->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    font.setBold(true);
    caption->setFont(font);
    caption->setEnabled(false);
    return;
  }
  case MenuEntry::Kind::item:
    break;
  }
  QAction* action = menu.addAction(QString::fromStdString(entry.title));
  action->setEnabled(entry.enabled);
  if (entry.keyEquivalent) {
    QKeySequence keys = menuShortcut(*entry.keyEquivalent);
    if (!keys.isEmpty()) {
      // Qt writes the sequence out natively ("Ctrl+Shift+O"), and the
      // desktop's own menu does the same with it over dbusmenu. A tray menu
      // counts as a context menu, where some themes hide shortcuts.
      action->setShortcut(keys);
      action->setShortcutVisibleInContextMenu(true);
    }
  }
  MenuEntry chosen = entry;
  QObject::connect(action, &QAction::triggered, &menu, [choose, chosen] {
    if (choose)
      choose(chosen);
  });
}

} // namespace

QKeySequence menuShortcut(const ShortcutBinding& binding) {
  QString key = QString::fromStdString(menuKeyName(binding));
  if (key.isEmpty())
    return {};
  // A character is its own Qt key code (upper case, as the name has it),
  // which also covers "+" and "," that Qt's text form uses as separators;
  // only named keys ("Space", "F5") go through the text form.
  Qt::Key qtKey = Qt::Key_unknown;
  if (key.size() == 1) {
    qtKey = static_cast<Qt::Key>(key.at(0).unicode());
  } else {
    QKeySequence named = QKeySequence::fromString(key, QKeySequence::PortableText);
    if (named.count() != 1)
      return {};
    qtKey = named[0].key();
  }
  Qt::KeyboardModifiers modifiers;
  if (binding.eventModifiers & commandEventModifier)
    modifiers |= Qt::ControlModifier;
  if (binding.eventModifiers & shiftEventModifier)
    modifiers |= Qt::ShiftModifier;
  if (binding.eventModifiers & optionEventModifier)
    modifiers |= Qt::AltModifier;
  if (binding.eventModifiers & controlEventModifier)
    modifiers |= Qt::MetaModifier;
  return QKeySequence(QKeyCombination(modifiers, qtKey));
}

QImage trayIconImage(AppState state, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  drawClapperboard(painter, size);
  IconTint tint = menuBarIconTint(state);
  if (tint.tinted) {
    QColor colour(tint.red, tint.green, tint.blue);
    colour.setAlphaF(static_cast<float>(tint.alpha));
    painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    painter.fillRect(image.rect(), colour);
  }
  return image;
}

TrayMenu::TrayMenu(Hooks hooks, bool useSystemTray) : hooks_(std::move(hooks)) {
  menu_.setObjectName(QStringLiteral("trayMenu"));
  connect(&menu_, &QMenu::aboutToShow, this, [this] {
    open_ = true;
    if (hooks_.willOpen)
      hooks_.willOpen();
    rebuild();
  });
  // Qt hides the menu before it triggers the chosen item, so a take paused
  // for the menu is running again when the item's command runs, as it is
  // after the menu closed by itself.
  connect(&menu_, &QMenu::aboutToHide, this, [this] {
    if (!open_)
      return;
    open_ = false;
    if (hooks_.didClose)
      hooks_.didClose();
  });

  if (useSystemTray && QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setToolTip(QStringLiteral("Vidorel"));
    tray_->setContextMenu(&menu_);
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger)
                popup();
            });
  } else {
    makeControlWindow();
  }
  setState(AppState::idle);
  if (tray_)
    tray_->show();
}

TrayMenu::~TrayMenu() {
  if (tray_)
    tray_->setContextMenu(nullptr);
}

void TrayMenu::makeControlWindow() {
  control_ = std::make_unique<QWidget>();
  control_->setObjectName(QStringLiteral("control"));
  control_->setWindowTitle(QStringLiteral("Vidorel"));
  control_->setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
  auto* layout = new QHBoxLayout(control_.get());
  layout->setContentsMargins(4, 4, 4, 4);
  button_ = new QToolButton(control_.get());
  button_->setObjectName(QStringLiteral("menuButton"));
  button_->setText(QStringLiteral("Vidorel"));
  button_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  button_->setIconSize(QSize(24, 24));
  button_->setAutoRaise(true);
  layout->addWidget(button_);
  connect(button_, &QToolButton::clicked, this, [this] { popup(); });
  QSize size = control_->sizeHint().expandedTo(QSize(120, 36));
  control_->resize(size);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    control_->move(area.x() + area.width() - size.width() - 8, area.top() + 8);
  }
  control_->show();
}

void TrayMenu::setState(AppState state) {
  QIcon icon(QPixmap::fromImage(trayIconImage(state, 48)));
  if (tray_) {
    tray_->setIcon(icon);
    tray_->setToolTip(QStringLiteral("Vidorel — %1")
                          .arg(QString::fromUtf8(stateName(state).data(),
                                                 static_cast<qsizetype>(stateName(state).size()))));
  }
  if (button_)
    button_->setIcon(icon);
}

void TrayMenu::popup() {
  if (menu_.isVisible()) {
    menu_.raise();
    return;
  }
  QPoint at = QCursor::pos();
  if (button_ && control_ && control_->isVisible())
    at = button_->mapToGlobal(QPoint(0, button_->height()));
  else if (tray_ && !tray_->geometry().isEmpty())
    at = tray_->geometry().bottomLeft();
  menu_.popup(at);
}

void TrayMenu::hideMenu() {
  menu_.hide();
}

void TrayMenu::rebuild() {
  menu_.clear();
  shown_ = hooks_.entries ? hooks_.entries() : std::vector<MenuEntry>{};
  for (const MenuEntry& entry : shown_)
    addEntry(menu_, entry, hooks_.choose);
}

} // namespace vidorel
