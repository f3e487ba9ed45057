#include "shell/x11_escape_grab.h"

#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace vidorel {

namespace {

constexpr std::uint32_t kEscapeKeysym = 0xff1b;

// The modifier states under which the grab must also fire: NumLock (Mod2)
// and CapsLock (Lock) change the state without being part of the binding.
constexpr std::uint16_t kLockVariants[] = {
    0,
    XCB_MOD_MASK_LOCK,
    XCB_MOD_MASK_2,
    XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2,
};

std::uint8_t findKeyCode(xcb_connection_t* connection, std::uint32_t keysym) {
  const xcb_setup_t* setup = xcb_get_setup(connection);
  xcb_keycode_t first = setup->min_keycode;
  int count = setup->max_keycode - setup->min_keycode + 1;
  xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
      connection, xcb_get_keyboard_mapping(connection, first, static_cast<std::uint8_t>(count)),
      nullptr);
  if (!reply)
    return 0;
  std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> owner(reply, &std::free);
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
  int perCode = reply->keysyms_per_keycode;
  for (int code = 0; code < count; ++code) {
    for (int column = 0; column < perCode; ++column) {
      if (syms[code * perCode + column] == keysym)
        return static_cast<std::uint8_t>(first + code);
    }
  }
  return 0;
}

} // namespace

X11EscapeGrab::X11EscapeGrab() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return;
  }
  connection_ = connection;
  root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  escapeKeyCode_ = findKeyCode(connection_, kEscapeKeysym);
  notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_),
                                                QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
}

X11EscapeGrab::~X11EscapeGrab() {
  remove();
  notifier_.reset();
  if (connection_)
    xcb_disconnect(connection_);
}

void X11EscapeGrab::install(std::function<void()> cancel) {
  cancel_ = std::move(cancel);
  if (!connection_ || escapeKeyCode_ == 0 || grabbed_)
    return;
  // A grab refused because another program holds Escape is not reported:
  // the program's own key events still cancel.
  for (std::uint16_t modifiers : kLockVariants)
    xcb_grab_key(connection_, 1, root_, modifiers, escapeKeyCode_, XCB_GRAB_MODE_ASYNC,
                 XCB_GRAB_MODE_ASYNC);
  xcb_flush(connection_);
  grabbed_ = true;
}

void X11EscapeGrab::remove() {
  cancel_ = nullptr;
  if (!connection_ || !grabbed_)
    return;
  for (std::uint16_t modifiers : kLockVariants)
    xcb_ungrab_key(connection_, escapeKeyCode_, root_, modifiers);
  xcb_flush(connection_);
  grabbed_ = false;
}

void X11EscapeGrab::readEvents() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owner(event, &std::free);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
      continue;
    auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
    if (press->detail == escapeKeyCode_ && cancel_)
      cancel_();
  }
}

} // namespace vidorel
