#include "shortcuts/settings_view.h"

#include "workflow/app_state_manager.h"

namespace vidorel {

QWidget* makeSettingsWindow(AppStateManager& manager, GlobalShortcuts& hotKeys,
                            const KeyboardLayout& layout,
                            const HotKeyRegistrations* registrations) {
  ShortcutSettingsServices services{
      manager.preferences(),
      hotKeys,
      [&manager] { return manager.shortcutBindings(); },
      [&manager] { manager.reloadShortcuts(); },
      [&manager] { return manager.automaticallyChecksForUpdates(); },
      [&manager](bool on) { manager.setAutomaticallyChecksForUpdates(on); },
      registrations,
  };
  auto* view = new SettingsView(std::make_unique<ShortcutSettings>(std::move(services)), layout);
  AppStateManager::ObserverID observer = manager.addObserver([view] { view->refresh(); });
  QObject::connect(view, &QObject::destroyed,
                   [&manager, observer] { manager.removeObserver(observer); });
  return view;
}

} // namespace vidorel
