#pragma once

// The coordinator's collaborators, each reduced to the operations the
// workflow calls. Real implementations live in capture/, shortcuts/,
// export/ and shell/; tests use the fakes in tests/fakes/.

#include "base/task.h"
#include "model/session.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"
#include "workflow/recording_types.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace vidorel {

// Capture of the display and the microphone into one take file.
class Recorder {
public:
  virtual ~Recorder() = default;
  // Replaces any running microphone capture by a new, started one. The
  // error's description on failure.
  virtual std::optional<std::string> prepareMicrophone() = 0;
  virtual void releaseMicrophone() = 0;
  // The error's description when capture could not start.
  virtual Task<std::optional<std::string>>
  startRecording(std::filesystem::path url, std::optional<ShareableContent> content) = 0;
  // Nothing when no take was recording.
  virtual Task<std::optional<RecordedTake>> stopRecording() = 0;
  virtual void pause() = 0;
  virtual void resume() = 0;
  // Called on the main loop when writing the take fails while it records
  // (disk full, I/O error), with the error's description. Capture has then
  // stopped by itself; stopRecording() still finishes the file and returns
  // what was written before the failure.
  virtual void setFailureHandler(std::function<void(std::string description)> handler) = 0;
};

// The full-screen countdown before each take.
class Countdown {
public:
  virtual ~Countdown() = default;
  // True when it ran out, false when the user cancelled it.
  virtual Task<bool> run(int from) = 0;
  // Ends a running count as Escape does (run() answers false). One that
  // cannot be ended early simply runs out; the coordinator copes with both.
  virtual void cancel() {}
};

// The floating panel shown while a take is recorded or paused.
class StatusPanel {
public:
  virtual ~StatusPanel() = default;
  virtual void show() = 0;
  virtual void hide() = 0;
};

using ShortcutBindings = std::map<ShortcutAction, ShortcutBinding>;

// System-wide hot keys: a handler per action, and registration of exactly
// the bindings given.
class GlobalShortcuts {
public:
  virtual ~GlobalShortcuts() = default;
  virtual void setHandler(ShortcutAction action, std::function<void()> handler) = 0;
  virtual void registerBindings(const ShortcutBindings& bindings) = 0;
  virtual void unregisterAll() = 0;
};

// The export flow: asks for a destination and joins the selected takes.
class SessionExport {
public:
  virtual ~SessionExport() = default;
  virtual Task<void> exportSession(Session session) = 0;
};

// The software updater.
class Updater {
public:
  virtual ~Updater() = default;
  virtual void setAutomaticallyChecksForUpdates(bool on) = 0;
  // False when it cannot run (no feed configured).
  virtual bool start() = 0;
  virtual bool canCheckForUpdates() const = 0;
  // Runs a check with the updater's own user interface.
  virtual void checkForUpdates() = 0;
};

} // namespace vidorel
