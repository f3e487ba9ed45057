#include "shell/x11_compositor.h"

#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace vidorel {

bool desktopComposites() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection())
    return true;
  xcb_connection_t* connection = x11->connection();
  // Qt draws on the default screen of its display.
  int screen = 0;
  const char* display = std::getenv("DISPLAY");
  if (display) {
    std::string name = display;
    std::size_t dot = name.rfind('.');
    std::size_t colon = name.rfind(':');
    if (dot != std::string::npos && colon != std::string::npos && dot > colon)
      screen = std::atoi(name.c_str() + dot + 1);
  }
  std::string selection = "_NET_WM_CM_S" + std::to_string(screen);
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
      xcb_intern_atom_reply(connection,
                            xcb_intern_atom(connection, 0,
                                            static_cast<std::uint16_t>(selection.size()),
                                            selection.c_str()),
                            nullptr),
      &std::free);
  if (!atom)
    return false;
  std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
      xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                    nullptr),
      &std::free);
  return owner && owner->owner != XCB_NONE;
}

} // namespace vidorel
