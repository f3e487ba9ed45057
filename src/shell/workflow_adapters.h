#pragma once

#include "capture/screen_recorder.h"
#include "shell/countdown_overlay.h"
#include "shell/recording_status_view.h"
#include "workflow/collaborators.h"

#include <QPointer>

#include <functional>

namespace vidorel {

// The screen recorder as the workflow's Recorder: its failures, thrown as
// exceptions, become the descriptions the workflow reports.
class ShellRecorder final : public Recorder {
public:
  explicit ShellRecorder(ScreenRecorder& recorder) : recorder_(recorder) {}

  std::optional<std::string> prepareMicrophone() override;
  void releaseMicrophone() override { recorder_.releaseMicrophone(); }
  Task<std::optional<std::string>> startRecording(std::filesystem::path url,
                                                  std::optional<ShareableContent> content) override;
  Task<std::optional<RecordedTake>> stopRecording() override;
  void pause() override { recorder_.pause(); }
  void resume() override { recorder_.resume(); }
  void setFailureHandler(std::function<void(std::string)> handler) override {
    recorder_.setFailureHandler(std::move(handler));
  }

private:
  ScreenRecorder& recorder_;
};

class ShellCountdown final : public Countdown {
public:
  explicit ShellCountdown(CountdownOverlay& overlay) : overlay_(overlay) {}
  Task<bool> run(int from) override;
  void cancel() override { overlay_.cancel(); }
  bool isRunning() const { return overlay_.isRunning(); }

private:
  CountdownOverlay& overlay_;
};

// The floating status panel, made anew for every take and dropped when
// hidden. Its content follows the workflow through `content`, read again
// whenever refresh() is called.
class ShellStatusPanel final : public StatusPanel {
public:
  explicit ShellStatusPanel(std::function<StatusContent()> content)
      : content_(std::move(content)) {}
  ~ShellStatusPanel() override;

  void show() override;
  void hide() override;
  void refresh();
  RecordingStatusPanel* panel() const { return panel_; }

private:
  std::function<StatusContent()> content_;
  QPointer<RecordingStatusPanel> panel_;
};

// The system-wide hot keys as the coordinator sees them, with the
// countdown's claim on them: while a countdown runs, any hot key cancels it
// instead of running its action (so a second start press cannot start or
// end a take).
class CountdownAwareShortcuts final : public GlobalShortcuts, public CountdownCancelInput {
public:
  explicit CountdownAwareShortcuts(GlobalShortcuts& hotKeys) : hotKeys_(hotKeys) {}

  void setHandler(ShortcutAction action, std::function<void()> handler) override;
  void registerBindings(const ShortcutBindings& bindings) override {
    hotKeys_.registerBindings(bindings);
  }
  void unregisterAll() override { hotKeys_.unregisterAll(); }

  void install(std::function<void()> cancel) override { cancel_ = std::move(cancel); }
  void remove() override { cancel_ = nullptr; }

private:
  GlobalShortcuts& hotKeys_;
  std::function<void()> cancel_;
};

// Stands in for system-wide hot keys where none can be registered: keeps
// the handlers so the test hook can press them.
class HandlerOnlyShortcuts final : public GlobalShortcuts {
public:
  void setHandler(ShortcutAction action, std::function<void()> handler) override {
    handlers_[action] = std::move(handler);
  }
  void registerBindings(const ShortcutBindings& bindings) override { registered_ = bindings; }
  void unregisterAll() override { registered_.clear(); }
  // Runs the action's handler as a key press would; false without one.
  bool press(ShortcutAction action) const;

private:
  std::map<ShortcutAction, std::function<void()>> handlers_;
  ShortcutBindings registered_;
};

} // namespace vidorel
