#include "shell/workflow_adapters.h"

namespace vidorel {

Task<bool> ShellCountdown::run(int from) {
  int seconds = seconds_.value_or(from);
  if (seconds <= 0)
    co_return true;
  bool ranOut = co_await overlay_.run(seconds);
  co_return ranOut;
}

ShellStatusPanel::~ShellStatusPanel() {
  hide();
}

void ShellStatusPanel::show() {
  if (panel_)
    return;
  panel_ = new RecordingStatusPanel;
  panel_->setContent(content_());
  panel_->moveToTopCentre(screen_ ? screen_() : nullptr);
  panel_->show();
}

void ShellStatusPanel::hide() {
  if (!panel_)
    return;
  panel_->hide();
  delete panel_.data();
}

void ShellStatusPanel::refresh() {
  if (panel_)
    panel_->setContent(content_());
}

void CountdownAwareShortcuts::setHandler(ShortcutAction action, std::function<void()> handler) {
  if (!handler) {
    hotKeys_.setHandler(action, nullptr);
    return;
  }
  hotKeys_.setHandler(action, [this, handler = std::move(handler)] {
    if (cancel_) {
      cancel_();
      return;
    }
    handler();
  });
}

} // namespace vidorel
