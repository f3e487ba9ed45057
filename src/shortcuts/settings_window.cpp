#include "shortcuts/settings_view.h"

#include "workflow/app_state_manager.h"

namespace vidorel {

QWidget* makeSettingsWindow(AppStateManager& manager, GlobalShortcuts& hotKeys,
                            const KeyboardLayout& layout, const HotKeyRegistrations* registrations,
                            DesktopShortcutsView desktop, RecordingChoices recording) {
  ShortcutSettingsServices services{
      manager.preferences(),
      hotKeys,
      [&manager] { return manager.shortcutBindings(); },
      [&manager] { manager.reloadShortcuts(); },
      [&manager] { return manager.automaticallyChecksForUpdates(); },
      [&manager](bool on) { manager.setAutomaticallyChecksForUpdates(on); },
      registrations,
      desktop.desktop,
      desktop.ctlProgram,
  };
  auto* view = new SettingsView(std::make_unique<ShortcutSettings>(std::move(services)), layout);
  if (recording.preferences)
    view->addRecordingChoices(std::move(recording));
  AppStateManager::ObserverID observer = manager.addObserver([view] { view->refresh(); });
  QObject::connect(view, &QObject::destroyed,
                   [&manager, observer] { manager.removeObserver(observer); });
  if (DesktopShortcuts* owner = desktop.desktop) {
    DesktopShortcuts::ObserverID watch = owner->addStatusObserver([view] { view->refresh(); });
    QObject::connect(view, &QObject::destroyed,
                     [owner, watch] { owner->removeStatusObserver(watch); });
  }
  return view;
}

} // namespace vidorel
