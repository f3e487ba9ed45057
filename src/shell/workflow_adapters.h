#pragma once

#include "shell/countdown_overlay.h"
#include "shell/recording_status_view.h"
#include "workflow/collaborators.h"

#include <QPointer>

#include <functional>

namespace vidorel {

// The countdown overlay as the workflow's Countdown. Tests of the whole app
// that are not about the countdown may shorten it to `seconds` (0: none).
class ShellCountdown final : public Countdown {
public:
  explicit ShellCountdown(CountdownOverlay& overlay, std::optional<int> seconds = std::nullopt)
      : overlay_(overlay), seconds_(seconds) {}
  Task<bool> run(int from) override;
  void cancel() override { overlay_.cancel(); }
  bool isRunning() const { return overlay_.isRunning(); }

private:
  CountdownOverlay& overlay_;
  std::optional<int> seconds_;
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
  // The monitor the panel shows on; the primary screen when unset.
  void setScreen(std::function<QScreen*()> screen) { screen_ = std::move(screen); }

private:
  std::function<StatusContent()> content_;
  std::function<QScreen*()> screen_;
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

// Stands in for system-wide hot keys where none can be registered: nothing
// is bound. The handlers are kept by the ShortcutHandlerTap in front of it,
// so `vidorel ctl` and the test hook still run them.
class NoGlobalShortcuts final : public GlobalShortcuts {
public:
  void setHandler(ShortcutAction, std::function<void()>) override {}
  void registerBindings(const ShortcutBindings&) override {}
  void unregisterAll() override {}
};

} // namespace vidorel
