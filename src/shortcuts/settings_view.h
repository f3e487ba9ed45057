#pragma once

#include "shortcuts/keyboard_layout.h"
#include "shortcuts/shortcut_recorder_view.h"
#include "shortcuts/shortcut_settings.h"
#include "workflow/preferences.h"

#include <QWidget>

#include <map>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace vidorel {

class AppStateManager;
class GlobalShortcuts;

// What the "Recording" rows of Settings choose from: the monitors (none
// where the desktop's sharing dialog chooses) and where the choice is kept.
struct RecordingChoices {
  Preferences* preferences = nullptr;
  std::vector<DisplayInfo> displays;
  bool desktopChooses = false;
};

inline constexpr const char* kRecordingHeading = "Recording";
inline constexpr const char* kScreenTitle = "Screen";
inline constexpr const char* kRecordingSizeTitle = "Recording size";
inline constexpr const char* kFullSizeTitle = "Full size";
inline constexpr const char* k1080pTitle = "1080p";
inline constexpr const char* kDesktopChoosesScreen =
    "The desktop asks which screen to share when the first take starts.";

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
  // Adds the "Screen" and "Recording size" rows.
  void addRecordingChoices(RecordingChoices choices);
  QComboBox* screenChoice() const { return screen_; }
  QComboBox* sizeChoice() const { return size_; }

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
  QComboBox* screen_ = nullptr;
  QComboBox* size_ = nullptr;
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
                            DesktopShortcutsView desktop = {}, RecordingChoices recording = {});

} // namespace vidorel
