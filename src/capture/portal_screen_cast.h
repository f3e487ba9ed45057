#pragma once

#include "base/log.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct sd_bus;

namespace vidorel {

class DefaultsStore;

// Where the desktop keeps the permission to record the same monitor again
// without asking: the restore token of the last ScreenCast session.
inline constexpr const char* kScreenCastRestoreTokenKey = "screenCastRestoreToken";

// How a ScreenCast session's start ended.
enum class ScreenCastOutcome {
  started,
  // The user cancelled the desktop's dialog: screen access denied.
  refused,
  // The portal is missing or failed (a restore token it no longer accepts
  // ends here too).
  failed,
};

struct ScreenCastStart {
  ScreenCastOutcome outcome = ScreenCastOutcome::failed;
  // Why it failed, for the log.
  std::string error;
  // The PipeWire node of the chosen monitor and the size the portal gave.
  std::uint32_t node = 0;
  int width = 0;
  int height = 0;
  // The token to pass next time; empty when the portal gave none.
  std::string restoreToken;
};

// One session of the xdg-desktop-portal ScreenCast interface over sd-bus on
// the session bus: CreateSession, SelectSources (one monitor, cursor drawn
// into the frames, kept until revoked), Start, OpenPipeWireRemote. Each
// step's answer comes as the Response signal of a request object, awaited
// here with the bus's own wait; the desktop's dialog may keep Start open as
// long as the user takes.
class PortalScreenCast final {
public:
  explicit PortalScreenCast(Logger& logger);
  ~PortalScreenCast();
  PortalScreenCast(const PortalScreenCast&) = delete;
  PortalScreenCast& operator=(const PortalScreenCast&) = delete;

  // True when the session bus has a ScreenCast portal.
  bool available();

  // Opens a session and starts it, with `restoreToken` when given.
  ScreenCastStart start(const std::optional<std::string>& restoreToken,
                        std::chrono::milliseconds timeout = std::chrono::minutes(5));

  // Starts with the token kept in `defaults`; a token the portal no longer
  // accepts is dropped and the dialog shown again. Keeps the new token.
  ScreenCastStart start(DefaultsStore& defaults,
                        std::chrono::milliseconds timeout = std::chrono::minutes(5));

  // A connection to the PipeWire server that serves the session's stream
  // (owned by the caller); -1 on failure.
  int openPipeWireRemote();

  // Ends the session (the desktop stops sharing the monitor).
  void close();

  bool isStarted() const { return !sessionHandle_.empty() && started_; }

private:
  bool connect();
  std::string newToken();
  std::string requestPath(const std::string& token) const;

  Logger& logger_;
  sd_bus* bus_ = nullptr;
  std::string senderName_;
  std::string sessionHandle_;
  bool started_ = false;
  int serial_ = 0;
};

} // namespace vidorel
