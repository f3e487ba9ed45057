#include "shell/workflow_adapters.h"

#include "capture/capture_error.h"

namespace vidorel {

std::optional<std::string> ShellRecorder::prepareMicrophone() {
  try {
    recorder_.prepareMicrophone();
  } catch (const std::exception& error) {
    return std::string(error.what());
  }
  return std::nullopt;
}

Task<std::optional<std::string>>
ShellRecorder::startRecording(std::filesystem::path url, std::optional<ShareableContent> content) {
  std::optional<std::string> failure;
  try {
    co_await recorder_.startRecording(std::move(url), std::move(content));
  } catch (const std::exception& error) {
    failure = std::string(error.what());
  }
  co_return failure;
}

Task<std::optional<RecordedTake>> ShellRecorder::stopRecording() {
  std::optional<RecordedTake> take = co_await recorder_.stopRecording();
  co_return take;
}

Task<bool> ShellCountdown::run(int from) {
  bool ranOut = co_await overlay_.run(from);
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
  panel_->moveToTopCentre();
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

bool HandlerOnlyShortcuts::press(ShortcutAction action) const {
  auto found = handlers_.find(action);
  if (found == handlers_.end() || !found->second)
    return false;
  found->second();
  return true;
}

} // namespace vidorel
