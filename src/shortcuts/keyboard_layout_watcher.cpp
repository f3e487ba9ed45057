#include "shortcuts/keyboard_layout_watcher.h"

#include "shortcuts/xkb_keyboard_layout.h"

#include <QSocketNotifier>

namespace vidorel {

KeyboardLayoutWatcher::KeyboardLayoutWatcher(XkbKeyboardLayout& layout,
                                             std::function<void()> changed)
    : layout_(layout), changed_(std::move(changed)) {
  int descriptor = layout_.fileDescriptor();
  if (descriptor < 0)
    return;
  notifier_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
    if (layout_.followChanges() && changed_)
      changed_();
  });
}

KeyboardLayoutWatcher::~KeyboardLayoutWatcher() = default;

} // namespace vidorel
