#pragma once

#include "model/session.h"

#include <optional>
#include <string>

class QMenu;
class QWidget;

namespace vidorel {

// Where a part of the app's windows is on screen, for the test control:
// "x y w h" in global pixels, or "none". `what` names the part:
//   button TEXT        a shown push button with exactly this text
//   window TITLE       a shown top-level window
//   scene N            the header of the Nth scene (from 1) in the tree
//   scene-name N       the name on that header
//   take N M           the row of the Mth take of scene N
//   circle N M         that take's selection circle
//   trim-start, trim-end  a handle of the review window's trim bar
//   menu TEXT          an entry of the tray menu while it is shown
std::string locateOnScreen(const std::string& what, const std::optional<Session>& session,
                           QWidget* reviewWindow, QMenu* trayMenu);

// The review window's player: "playing|paused TIME START END", or "none".
std::string describeReviewPlayback(QWidget* reviewWindow);

} // namespace vidorel
