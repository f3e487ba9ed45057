#pragma once

#include "shortcuts/keyboard_layout.h"
#include "shortcuts/shortcut_recorder_view.h"
#include "shortcuts/shortcut_settings.h"

#include <QWidget>

#include <map>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;

namespace vidorel {

class AppStateManager;
class GlobalShortcuts;

// The content of the "settings" window: a row per action with its
// recorder and warning, "Restore Defaults", and the update switch.
class SettingsView final : public QWidget {
  Q_OBJECT
public:
  SettingsView(std::unique_ptr<ShortcutSettings> settings, const KeyboardLayout& layout,
               QWidget* parent = nullptr);
  ~SettingsView() override;

  // Reads the bindings, warnings and the update flag again (after the
  // coordinator published a change).
  void refresh();

  ShortcutSettings& settings() { return *settings_; }
  ShortcutRecorderView* recorder(ShortcutAction action) const;
  QLabel* title(ShortcutAction action) const;
  QLabel* warning(ShortcutAction action) const;
  // The small line under a row the desktop owns.
  QLabel* note(ShortcutAction action) const;
  // The paragraph above the rows where they show commands to bind.
  QLabel* notice() const { return notice_; }
  QPushButton* restoreDefaultsButton() const { return restore_; }
  QCheckBox* updatesToggle() const { return updates_; }
  QCheckBox* loudnessToggle() const { return loudness_; }

private:
  struct Row {
    QLabel* title = nullptr;
    ShortcutRecorderView* recorder = nullptr;
    QLabel* warning = nullptr;
    QLabel* note = nullptr;
  };
  void showWarning(ShortcutAction action);
  void showRowContent(ShortcutAction action);

  std::unique_ptr<ShortcutSettings> settings_;
  const KeyboardLayout& layout_;
  std::map<ShortcutAction, Row> rows_;
  QLabel* notice_ = nullptr;
  QPushButton* restore_ = nullptr;
  QCheckBox* updates_ = nullptr;
  QCheckBox* loudness_ = nullptr;
};

// Where the desktop owns the global actions' keys, and how its settings
// would start this program.
struct DesktopShortcutsView {
  DesktopShortcuts* desktop = nullptr;
  std::string ctlProgram = "vidorel";
};

// The window the shell shows for "settings", over the coordinator and the
// hot keys it registered; follows the coordinator, and the desktop's word
// on its shortcuts, while open. Rows of global shortcuts that
// `registrations` reports refused carry a warning.
QWidget* makeSettingsWindow(AppStateManager& manager, GlobalShortcuts& hotKeys,
                            const KeyboardLayout& layout,
                            const HotKeyRegistrations* registrations = nullptr,
                            DesktopShortcutsView desktop = {});

} // namespace vidorel
