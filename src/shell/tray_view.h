#pragma once

#include "shell/menu_model.h"
#include "workflow/app_state.h"

#include <QImage>
#include <QKeySequence>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace vidorel {

// The program's icon for a state: a clapperboard drawn at `size` pixels, as
// it is while idle, else with the state's colour laid at 60 % over its
// opaque pixels only.
QImage trayIconImage(AppState state, int size = 24);

// The key sequence a menu item with the binding as key equivalent answers
// to; empty when the binding gives it none.
QKeySequence menuShortcut(const ShortcutBinding& binding);

// The tray item: an icon in the system tray, or a small always-on-top
// control window where the desktop has no tray, and the one menu both open.
// The menu is rebuilt from the plain menu model every time it is shown.
class TrayMenu final : public QObject {
  Q_OBJECT
public:
  struct Hooks {
    // The menu as it is now.
    std::function<std::vector<MenuEntry>()> entries;
    // An item was chosen (after the menu closed).
    std::function<void(const MenuEntry&)> choose;
    // The menu is about to be shown; runs before the entries are read.
    std::function<void()> willOpen;
    std::function<void()> didClose;
  };

  // useSystemTray false forces the control window (tests, a tray that is
  // present but unusable).
  TrayMenu(Hooks hooks, bool useSystemTray);
  ~TrayMenu() override;

  // Redraws the icon for the state.
  void setState(AppState state);
  // Opens the menu by the icon (or the control window's button).
  void popup();
  void hideMenu();

  QMenu& menu() { return menu_; }
  bool usesSystemTray() const { return tray_ != nullptr; }
  QWidget* controlWindow() const { return control_.get(); }
  // The entries the menu shows, as describeMenu writes them.
  std::string description() const { return describeMenu(shown_); }

private:
  void rebuild();
  void makeControlWindow();

  Hooks hooks_;
  QMenu menu_;
  std::vector<MenuEntry> shown_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QWidget> control_;
  QPointer<QToolButton> button_;
  bool open_ = false;
};

} // namespace vidorel
