#include "workflow/app_state_manager.h"

#include "base/format.h"
#include "base/iso8601.h"

#include <algorithm>

namespace vidorel {

namespace fs = std::filesystem;

namespace {

constexpr const char* kReviewWindow = "review";

constexpr const char* kStartFailedHint =
    "\n\nIf you revoked Screen Recording or Microphone access, re-enable it in System Settings "
    "and try again.";

} // namespace

AppStateManager::AppStateManager(AppStateDependencies deps)
    : deps_(deps), self_(std::make_shared<AppStateManager*>(this)) {
  shortcutBindings_ = deps_.preferences.shortcutBindings();
  automaticallyChecksForUpdates_ = deps_.preferences.autoCheckForUpdates();
  deps_.updater.setAutomaticallyChecksForUpdates(automaticallyChecksForUpdates_);
  // A failed start shows up later as "Can't check for updates".
  (void)deps_.updater.start();
  registerShortcutHandlers();
  launch([](AppStateManager& manager) { spawn(manager.launchSequence()); });
}

AppStateManager::~AppStateManager() {
  self_.reset();
}

AppStateManager::ObserverID AppStateManager::addObserver(std::function<void()> observer) {
  ObserverID id = nextObserverID_++;
  observers_.emplace(id, std::move(observer));
  return id;
}

void AppStateManager::removeObserver(ObserverID id) {
  observers_.erase(id);
}

void AppStateManager::publish() {
  // An observer may remove itself while being called.
  std::vector<std::function<void()>> current;
  for (auto& [id, observer] : observers_)
    current.push_back(observer);
  for (auto& observer : current)
    observer();
}

void AppStateManager::setState(AppState state) {
  if (state_ == state)
    return;
  state_ = state;
  publish();
}

void AppStateManager::clearPendingTake() {
  currentTakeURL_.reset();
  pendingTakeDuration_ = 0;
  pendingTrim_.reset();
  publish();
}

void AppStateManager::setAutomaticallyChecksForUpdates(bool on) {
  automaticallyChecksForUpdates_ = on;
  publish();
  deps_.preferences.storeAutoCheckForUpdates(on);
  deps_.updater.setAutomaticallyChecksForUpdates(on);
}

void AppStateManager::launch(std::function<void(AppStateManager&)> fn) {
  std::weak_ptr<AppStateManager*> weak = self_;
  deps_.loop.post([weak, fn = std::move(fn)] {
    if (auto self = weak.lock())
      fn(**self);
  });
}

void AppStateManager::runOpenWindow(const std::string& id) {
  if (openWindow)
    openWindow(id);
}

void AppStateManager::runDismissWindow(const std::string& id) {
  if (dismissWindow)
    dismissWindow(id);
}

void AppStateManager::showAlert(AlertStyle style, const std::string& message,
                                const std::string& informative) {
  deps_.alerts.runModal(Alert{message, informative, style, {}});
}

void AppStateManager::removeFileQuietly(const fs::path& file) {
  std::error_code ignored;
  fs::remove(file, ignored);
}

// The take workflow.

Task<void> AppStateManager::startTake() {
  if (!currentSession_)
    co_return;
  // Two starts must never run side by side: the second would open a second
  // capture on the same take file.
  if (startInProgress_) {
    deps_.logger.info(LogCategory::state, "startTake ignored: start in progress");
    co_return;
  }
  startInProgress_ = true;
  publish();
  co_await startTakeSteps();
  startInProgress_ = false;
  publish();
}

Task<void> AppStateManager::startTakeSteps() {
  Session session = *currentSession_;

  if (!co_await deps_.permissions.ensureMicrophoneAccess()) {
    permissionsOK_ = false;
    publish();
    co_return;
  }
  if (!co_await deps_.permissions.ensureScreenRecordingAccess()) {
    permissionsOK_ = false;
    publish();
    co_return;
  }
  permissionsOK_ = true;
  publish();

  int sceneNumber = session.currentSceneIndex + 1;
  int takeNumber = session.scenes[session.currentSceneIndex].nextTakeNumber();
  fs::path url =
      session.takesFolder() / formatString("scene-%d-take-%d.mov", sceneNumber, takeNumber);

  // The microphone warms up during the countdown; the recorder tries again
  // when capture starts.
  (void)deps_.recorder.prepareMicrophone();

  bool ranOut = co_await deps_.countdown.run(3);
  if (!ranOut) {
    deps_.logger.info(LogCategory::state, "countdown cancelled");
    deps_.recorder.releaseMicrophone();
    co_return;
  }
  // The session may have been closed or replaced while the count ran; its
  // folder is then no place for a new take.
  if (!currentSession_ || currentSession_->id != session.id) {
    deps_.recorder.releaseMicrophone();
    co_return;
  }

  std::optional<std::string> error =
      co_await deps_.recorder.startRecording(url, deps_.permissions.cachedContent());
  if (error) {
    deps_.logger.error(LogCategory::recorder,
                       formatString("startRecording failed: %s", error->c_str()));
    // Nothing may keep running behind the alert: a display stream started
    // before the failure, the microphone, a partial file.
    std::optional<RecordedTake> partial = co_await deps_.recorder.stopRecording();
    deps_.recorder.releaseMicrophone();
    if (partial)
      removeFileQuietly(partial->url);
    removeFileQuietly(url);
    showAlert(AlertStyle::informational, "Couldn't start recording", *error + kStartFailedHint);
    co_return;
  }

  setState(AppState::recording);
  deps_.statusBadge.show();
}

void AppStateManager::pauseRecording() {
  deps_.logger.info(LogCategory::state, "pauseRecording");
  deps_.recorder.pause();
  setState(AppState::paused);
}

void AppStateManager::resumeRecording() {
  deps_.logger.info(LogCategory::state, "resumeRecording");
  deps_.recorder.resume();
  setState(AppState::recording);
}

void AppStateManager::togglePause() {
  if (state_ == AppState::recording)
    pauseRecording();
  else if (state_ == AppState::paused)
    resumeRecording();
}

Task<void> AppStateManager::endTake() {
  deps_.logger.info(LogCategory::state,
                    formatString("endTake called, state=%s", stateName(state_).data()));
  std::optional<RecordedTake> result = co_await deps_.recorder.stopRecording();
  if (!result) {
    deps_.logger.error(LogCategory::state, "endTake: stopRecording returned nil");
    co_return;
  }
  deps_.logger.info(LogCategory::state,
                    formatString("endTake: got %s duration=%f",
                                 result->url.filename().string().c_str(), result->duration));
  currentTakeURL_ = result->url;
  pendingTakeDuration_ = result->duration;
  pendingTrim_.reset();
  state_ = AppState::reviewing;
  publish();
  deps_.statusBadge.hide();
  runOpenWindow(kReviewWindow);
}

bool AppStateManager::isPendingTakeUsable() const {
  return currentTakeURL_ && isUsableTakeFile(*currentTakeURL_);
}

void AppStateManager::commitPendingTake() {
  std::string filename =
      currentTakeURL_ ? currentTakeURL_->filename().string() : std::string("unknown.mov");
  Take take =
      Take::make(Uuid::random(), std::move(filename), pendingTakeDuration_, currentTimestamp());
  // The range set in the review window before approval goes with the take;
  // dropping it would undo what the user just did. A range the stored
  // duration cannot hold (the window's probe may have read a little more)
  // is cut to it, and one left empty falls back to the whole take.
  if (pendingTrim_) {
    double end = std::min(pendingTrim_->second, take.duration);
    double start = std::max(0.0, pendingTrim_->first);
    if (end > start) {
      take.trimStart = start;
      take.trimEnd = end;
    }
  }
  updateSession([&](Session& session) {
    RecordingScene& scene = session.scenes[session.currentSceneIndex];
    scene.takes.push_back(take);
    scene.selectedTakeID = take.id;
  });
}

void AppStateManager::setPendingTrim(double start, double end) {
  if (!currentTakeURL_ || state_ != AppState::reviewing)
    return;
  pendingTrim_ = std::make_pair(start, end);
}

void AppStateManager::approveAndNewTake() {
  if (state_ != AppState::reviewing || !isPendingTakeUsable())
    return;
  commitPendingTake();
  clearPendingTake();
  setState(AppState::idle);
  launch([](AppStateManager& manager) { spawn(manager.startTake()); });
}

void AppStateManager::approveAndNewScene() {
  if (state_ != AppState::reviewing || !isPendingTakeUsable())
    return;
  commitPendingTake();
  clearPendingTake();
  setState(AppState::idle);
  nextScene();
  launch([](AppStateManager& manager) { spawn(manager.startTake()); });
}

void AppStateManager::approvePendingTake() {
  if (state_ != AppState::reviewing || !isPendingTakeUsable())
    return;
  commitPendingTake();
  pendingTakeDuration_ = 0;
  pendingTrim_.reset();
  setState(AppState::idle);
  publish();
}

void AppStateManager::deleteAndRetake() {
  if (currentTakeURL_)
    removeFileQuietly(*currentTakeURL_);
  clearPendingTake();
  setState(AppState::idle);
  launch([](AppStateManager& manager) { spawn(manager.startTake()); });
}

Task<void> AppStateManager::endTakeAndNextScene() {
  co_await endTake();
  if (!isPendingTakeUsable())
    co_return;
  approveAndNewScene();
  runDismissWindow(kReviewWindow);
}

void AppStateManager::nextScene() {
  if (!currentSession_)
    return;
  // The take being started was named after the current scene; a new scene
  // now would file it under the wrong one.
  if (startInProgress_) {
    deps_.logger.info(LogCategory::state, "nextScene ignored: start in progress");
    return;
  }
  Session copy = *currentSession_;
  copy.scenes.push_back(RecordingScene::make());
  copy.currentSceneIndex = static_cast<int>(copy.scenes.size()) - 1;
  copy.isDirty = true;
  currentSession_ = std::move(copy);
  publish();
  autoSave();
}

void AppStateManager::updateSession(const std::function<void(Session&)>& edit) {
  if (!currentSession_)
    return;
  Session copy = *currentSession_;
  edit(copy);
  copy.isDirty = true;
  currentSession_ = std::move(copy);
  publish();
  autoSave();
}

void AppStateManager::autoSave() {
  if (!currentSession_)
    return;
  Session copy = *currentSession_;
  std::error_code error = deps_.store.save(copy);
  if (error) {
    deps_.logger.error(LogCategory::persistence,
                       formatString("autoSave failed: %s", error.message().c_str()));
    return;
  }
  currentSession_->isDirty = false;
  publish();
}

void AppStateManager::registerShortcutHandlers() {
  std::weak_ptr<AppStateManager*> weak = self_;
  for (ShortcutAction action : globalShortcutActions) {
    deps_.shortcuts.setHandler(action, [weak, action] {
      if (auto self = weak.lock())
        (*self)->handleShortcut(action);
    });
  }
}

void AppStateManager::reloadShortcuts() {
  shortcutBindings_ = deps_.preferences.shortcutBindings();
  publish();
  ShortcutBindings global;
  for (ShortcutAction action : globalShortcutActions) {
    auto it = shortcutBindings_.find(action);
    if (it != shortcutBindings_.end())
      global.emplace(action, it->second);
  }
  deps_.shortcuts.registerBindings(global);
}

void AppStateManager::handleShortcut(ShortcutAction action) {
  switch (action) {
  case ShortcutAction::startPause:
    togglePause();
    return;
  case ShortcutAction::endTake:
    switch (state_) {
    case AppState::idle:
      if (currentSession_)
        launch([](AppStateManager& manager) { spawn(manager.startTake()); });
      return;
    case AppState::recording:
    case AppState::paused:
      launch([](AppStateManager& manager) { spawn(manager.endTake()); });
      return;
    case AppState::reviewing:
      if (!isPendingTakeUsable())
        return;
      approveAndNewTake();
      runDismissWindow(kReviewWindow);
      return;
    }
    return;
  case ShortcutAction::nextScene:
    switch (state_) {
    case AppState::idle:
      if (currentSession_)
        nextScene();
      return;
    case AppState::recording:
    case AppState::paused:
      launch([](AppStateManager& manager) { spawn(manager.endTakeAndNextScene()); });
      return;
    case AppState::reviewing:
      if (!isPendingTakeUsable())
        return;
      approveAndNewScene();
      runDismissWindow(kReviewWindow);
      return;
    }
    return;
  case ShortcutAction::retake:
    if (state_ != AppState::reviewing)
      return;
    deleteAndRetake();
    runDismissWindow(kReviewWindow);
    return;
  default:
    return;
  }
}

void AppStateManager::menuWillOpen() {
  if (state_ != AppState::recording)
    return;
  pauseRecording();
  autoPausedByMenu_ = true;
}

void AppStateManager::menuDidClose() {
  if (!autoPausedByMenu_)
    return;
  if (state_ == AppState::paused)
    resumeRecording();
  autoPausedByMenu_ = false;
}

void AppStateManager::reviewWindowDidClose() {
  if (suppressReviewWindowCloseBehavior_ || state_ != AppState::reviewing)
    return;
  deleteAndRetake();
}

Task<void> AppStateManager::stopAndKeep() {
  std::optional<RecordedTake> result = co_await deps_.recorder.stopRecording();
  deps_.statusBadge.hide();
  if (result) {
    currentTakeURL_ = result->url;
    pendingTakeDuration_ = result->duration;
    pendingTrim_.reset();
    if (isPendingTakeUsable())
      commitPendingTake();
    else
      removeFileQuietly(result->url);
  }
  clearPendingTake();
  setState(AppState::idle);
}

Task<void> AppStateManager::stopAndDiscard() {
  std::optional<RecordedTake> result = co_await deps_.recorder.stopRecording();
  deps_.statusBadge.hide();
  if (result)
    removeFileQuietly(result->url);
  clearPendingTake();
  setState(AppState::idle);
}

} // namespace vidorel
