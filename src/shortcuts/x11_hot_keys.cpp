#include "shortcuts/x11_hot_keys.h"

#include "base/format.h"
#include "shortcuts/key_positions.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <cstdlib>

namespace vidorel {

namespace {

// NumLock (Mod2) and CapsLock (Lock) change the key state without being
// part of a binding, so each binding is grabbed under all four of them.
constexpr std::uint16_t kLockVariants[] = {
    0,
    XCB_MOD_MASK_LOCK,
    XCB_MOD_MASK_2,
    XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2,
};
constexpr std::uint16_t kLockMask = XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2;
// The only modifiers a binding can hold: Shift, Control, Mod1, Mod4.
constexpr std::uint16_t kBindingMask =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

// Status when no display is open: nothing can be installed.
constexpr int kNoDisplayStatus = -1;
// Status for a key code with no key on this keyboard (Carbon's paramErr).
constexpr int kUnknownKeyStatus = -50;
// Status for a combination this pass already holds (Carbon's
// eventHotKeyExistsErr): the server lets a client grab its own key again.
constexpr int kAlreadyGrabbedStatus = -9878;

} // namespace

X11HotKeys::X11HotKeys(Logger& logger, const char* displayName) : logger_(logger) {
  xcb_connection_t* connection = xcb_connect(displayName, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return;
  }
  connection_ = connection;
  root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  // One notifier for the object's life: a handler may re-register from
  // inside its signal, so it must never be destroyed by a pass.
  notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_),
                                                QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
}

X11HotKeys::~X11HotKeys() {
  unregisterAll();
  notifier_.reset();
  if (connection_)
    xcb_disconnect(connection_);
}

void X11HotKeys::setHandler(ShortcutAction action, std::function<void()> handler) {
  handlers_[action] = std::move(handler);
}

void X11HotKeys::registerBindings(const ShortcutBindings& bindings) {
  unregisterAll();
  errors_.clear();
  // Listening on the connection stands for the event handler of the pass.
  if (!connection_) {
    logger_.error(LogCategory::shortcuts,
                  formatString("InstallEventHandler failed: %d", kNoDisplayStatus));
    for (const auto& [action, binding] : bindings)
      errors_[action] = kNoDisplayStatus;
    return;
  }
  listening_ = true;
  idToAction_.clear();

  std::uint32_t id = 0;
  for (const auto& [action, binding] : bindings) {
    ++id;
    idToAction_[id] = action;
    // Only keys the recorder could have recorded, and Escape: a grab of a
    // modifier or a lock key would change what every other key does.
    std::optional<std::uint8_t> keyCode;
    const KeyPosition* key = keyPositionForCarbon(binding.carbonKeyCode);
    if (key && (key->kind == KeyPosition::Kind::shortcut || key->kind == KeyPosition::Kind::escape))
      keyCode = key->x11;
    std::uint16_t modifiers = x11ModifierMask(binding.carbonModifiers);
    int status = kUnknownKeyStatus;
    if (keyCode) {
      bool held = false;
      for (const Grab& existing : grabs_)
        held = held || (existing.keyCode == *keyCode && existing.modifiers == modifiers);
      status = held ? kAlreadyGrabbedStatus : grab(*keyCode, modifiers);
    }
    if (status != 0) {
      logger_.error(LogCategory::shortcuts,
                    formatString("RegisterEventHotKey failed for %s: %d",
                                 std::string(rawValue(action)).c_str(), status));
      errors_[action] = status;
      continue;
    }
    grabs_.push_back({id, *keyCode, modifiers});
  }
  logger_.info(LogCategory::shortcuts,
               formatString("Carbon hotkeys installed (%ld/%ld)", static_cast<long>(grabs_.size()),
                            static_cast<long>(bindings.size())));
  // Checking the grabs read the connection; events it queued would not wake
  // the notifier.
  QMetaObject::invokeMethod(
      notifier_.get(), [this] { readEvents(); }, Qt::QueuedConnection);
}

std::optional<int> X11HotKeys::registrationError(ShortcutAction action) const {
  auto found = errors_.find(action);
  if (found == errors_.end())
    return std::nullopt;
  return found->second;
}

void X11HotKeys::unregisterAll() {
  for (const Grab& held : grabs_)
    ungrab(held);
  grabs_.clear();
  idToAction_.clear();
  listening_ = false;
  if (!connection_)
    return;
  xcb_flush(connection_);
  // Presses already queued belong to the bindings just dropped.
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_))
    std::free(event);
}

int X11HotKeys::grab(std::uint8_t keyCode, std::uint16_t modifiers) {
  xcb_void_cookie_t cookies[std::size(kLockVariants)];
  for (std::size_t i = 0; i < std::size(kLockVariants); ++i)
    cookies[i] = xcb_grab_key_checked(connection_, 1, root_, modifiers | kLockVariants[i], keyCode,
                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
  int status = 0;
  bool taken[std::size(kLockVariants)] = {};
  for (std::size_t i = 0; i < std::size(kLockVariants); ++i) {
    xcb_generic_error_t* error = xcb_request_check(connection_, cookies[i]);
    if (!error) {
      taken[i] = true;
      continue;
    }
    if (status == 0)
      status = error->error_code;
    std::free(error);
  }
  if (status == 0)
    return 0;
  // Half a binding would fire only with some lock keys on: give it all back.
  for (std::size_t i = 0; i < std::size(kLockVariants); ++i) {
    if (taken[i])
      xcb_ungrab_key(connection_, keyCode, root_, modifiers | kLockVariants[i]);
  }
  xcb_flush(connection_);
  return status;
}

void X11HotKeys::ungrab(const Grab& held) {
  for (std::uint16_t lock : kLockVariants)
    xcb_ungrab_key(connection_, held.keyCode, root_, held.modifiers | lock);
}

void X11HotKeys::readEvents() {
  if (!connection_)
    return;
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owner(event, &std::free);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
      continue;
    auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
    dispatch(press->detail, press->state);
  }
}

void X11HotKeys::dispatch(std::uint8_t keyCode, std::uint16_t state) {
  // Unregistered (a shortcut being recorded): a press that was still queued
  // must not fire.
  if (!listening_)
    return;
  std::uint16_t modifiers = state & kBindingMask & ~kLockMask;
  for (const Grab& held : grabs_) {
    if (held.keyCode != keyCode || held.modifiers != modifiers)
      continue;
    auto action = idToAction_.find(held.id);
    if (action == idToAction_.end())
      return;
    auto handler = handlers_.find(action->second);
    if (handler == handlers_.end() || !handler->second)
      return;
    logger_.info(
        LogCategory::shortcuts,
        formatString("Carbon hotkey fired: %s", std::string(rawValue(action->second)).c_str()));
    // A copy: the handler may re-register and so replace the table.
    std::function<void()> callback = handler->second;
    callback();
    return;
  }
}

} // namespace vidorel
