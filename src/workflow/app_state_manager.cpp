#include "workflow/app_state_manager.h"

#include "base/format.h"
#include "base/iso8601.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vidorel {

namespace fs = std::filesystem;

namespace {

constexpr const char* kReviewWindow = "review";

constexpr const char* kStartFailedHint =
    "\n\nIf no microphone answers or the screen cannot be read, check the desktop's sound "
    "settings (on Wayland, share the screen when the desktop asks), then try again.";

// While an abandoned start finishes its count or capture start.
constexpr Milliseconds kBusyStartPoll{50};

bool pathExists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

bool takeNamed(const Session& session, const std::string& filename) {
  for (const RecordingScene& scene : session.scenes)
    for (const Take& take : scene.takes)
      if (take.filename == filename)
        return true;
  return false;
}

// The take file "scene-N-take-M.mov" with M raised from takeNumber until no
// take of the session and no file in its takes folder has that name: scene
// moves, scene deletions and take moves make the plain numbers repeat, and
// a new take must never overwrite another.
fs::path freeTakeFile(const Session& session, int sceneNumber, int takeNumber) {
  fs::path folder = session.takesFolder();
  for (; takeNumber < std::numeric_limits<int>::max(); ++takeNumber) {
    std::string name = formatString("scene-%d-take-%d.mov", sceneNumber, takeNumber);
    if (!takeNamed(session, name) && !pathExists(folder / name))
      return folder / name;
  }
  // Only crafted file names get here; a name nobody else can have.
  return folder / (Uuid::random().string() + ".mov");
}

} // namespace

AppStateManager::AppStateManager(AppStateDependencies deps)
    : deps_(deps), self_(std::make_shared<AppStateManager*>(this)) {
  shortcutBindings_ = deps_.preferences.shortcutBindings();
  automaticallyChecksForUpdates_ = deps_.preferences.autoCheckForUpdates();
  deps_.updater.setAutomaticallyChecksForUpdates(automaticallyChecksForUpdates_);
  // A failed start shows up later as "Can't check for updates".
  (void)deps_.updater.start();
  registerShortcutHandlers();
  std::weak_ptr<AppStateManager*> weak = self_;
  deps_.recorder.setFailureHandler([weak](std::string description) {
    if (auto self = weak.lock())
      (*self)->recordingFailed(description);
  });
  launch([](AppStateManager& manager) { spawn(manager.launchSequence()); });
}

AppStateManager::~AppStateManager() {
  // Every coroutine still suspended sees this and leaves the coordinator
  // alone when it resumes.
  self_.reset();
  deps_.recorder.setFailureHandler(nullptr);
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
  if (start_) {
    deps_.logger.info(LogCategory::state, "startTake ignored: start in progress");
    co_return;
  }
  Alive alive = self_;
  auto attempt = std::make_shared<StartAttempt>(StartAttempt{currentSession_->id});
  start_ = attempt;
  publish();
  co_await startTakeSteps(attempt);
  if (alive.expired())
    co_return;
  if (start_ == attempt) {
    start_.reset();
    publish();
  }
}

Task<void> AppStateManager::startTakeSteps(std::shared_ptr<StartAttempt> attempt) {
  Alive alive = self_;
  // False once the coordinator is gone or the start was abandoned with its
  // session; the start then touches nothing more.
  auto live = [&] { return !alive.expired() && start_ == attempt; };
  Session session = *currentSession_;

  bool microphone = co_await deps_.permissions.ensureMicrophoneAccess();
  if (!live())
    co_return;
  if (!microphone) {
    permissionsOK_ = false;
    publish();
    co_return;
  }
  bool screen = co_await deps_.permissions.ensureScreenRecordingAccess();
  if (!live())
    co_return;
  if (!screen) {
    permissionsOK_ = false;
    publish();
    co_return;
  }
  permissionsOK_ = true;
  publish();

  // A start abandoned with a closed session may still be counting or
  // starting capture; one count and one capture at a time.
  while (busyStartSteps_ > 0) {
    co_await sleepFor(deps_.loop, kBusyStartPoll);
    if (!live())
      co_return;
  }
  ++busyStartSteps_;
  co_await countdownAndCapture(attempt, std::move(session));
  if (alive.expired())
    co_return;
  --busyStartSteps_;
}

Task<void> AppStateManager::countdownAndCapture(std::shared_ptr<StartAttempt> attempt,
                                                Session session) {
  Alive alive = self_;
  int sceneNumber = session.currentSceneIndex + 1;
  int takeNumber = session.scenes[session.currentSceneIndex].nextTakeNumber();
  fs::path url = freeTakeFile(session, sceneNumber, takeNumber);

  // The microphone warms up during the countdown; the recorder tries again
  // when capture starts.
  (void)deps_.recorder.prepareMicrophone();

  attempt->phase = StartAttempt::Phase::countdown;
  bool ranOut = co_await deps_.countdown.run(3);
  if (alive.expired())
    co_return;
  if (start_ == attempt && (!currentSession_ || currentSession_->id != attempt->sessionID))
    abandonStart();
  // Abandoning the start already released the microphone.
  if (start_ != attempt)
    co_return;
  if (!ranOut) {
    deps_.logger.info(LogCategory::state, "countdown cancelled");
    deps_.recorder.releaseMicrophone();
    co_return;
  }
  // The session may have been saved elsewhere or edited while the count
  // ran: the take goes into its folder as it is now, under a name that is
  // still free.
  url = freeTakeFile(*currentSession_, sceneNumber, takeNumber);
  bool existedBefore = pathExists(url);

  attempt->phase = StartAttempt::Phase::captureStart;
  std::optional<std::string> error =
      co_await deps_.recorder.startRecording(url, deps_.permissions.cachedContent());
  if (alive.expired())
    co_return;
  if (start_ != attempt) {
    // The session closed while capture started: the take belongs nowhere.
    if (!error) {
      (void)co_await deps_.recorder.stopRecording();
      if (alive.expired())
        co_return;
    }
    deps_.recorder.releaseMicrophone();
    if (!existedBefore)
      removeFileQuietly(url);
    co_return;
  }
  if (error) {
    deps_.logger.error(LogCategory::recorder,
                       formatString("startRecording failed: %s", error->c_str()));
    // Nothing may keep running behind the alert: a display stream started
    // before the failure, the microphone, a partial file. A file that was
    // there before this start is not this start's to remove.
    (void)co_await deps_.recorder.stopRecording();
    if (alive.expired())
      co_return;
    deps_.recorder.releaseMicrophone();
    if (!existedBefore)
      removeFileQuietly(url);
    showAlert(AlertStyle::informational, "Couldn't start recording", *error + kStartFailedHint);
    co_return;
  }

  setState(AppState::recording);
  deps_.statusBadge.show();
}

void AppStateManager::abandonStart() {
  if (!start_)
    return;
  std::shared_ptr<StartAttempt> attempt = std::move(start_);
  start_.reset();
  deps_.logger.info(LogCategory::state, "start abandoned: its session closed");
  // During the count the microphone runs for a take that will not come.
  // A capture that is starting is stopped by the start itself.
  if (attempt->phase == StartAttempt::Phase::countdown) {
    deps_.countdown.cancel();
    deps_.recorder.releaseMicrophone();
  }
  publish();
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
  Alive alive = self_;
  std::optional<Uuid> sessionID;
  if (currentSession_)
    sessionID = currentSession_->id;
  std::optional<RecordedTake> result = co_await deps_.recorder.stopRecording();
  if (alive.expired())
    co_return;
  if (!result) {
    deps_.logger.error(LogCategory::state, "endTake: stopRecording returned nil");
    co_return;
  }
  deps_.logger.info(LogCategory::state,
                    formatString("endTake: got %s duration=%f",
                                 result->url.filename().string().c_str(), result->duration));
  // The session was closed or replaced while capture stopped: the file stays
  // in its folder and is offered for review when that session opens again.
  if (!currentSession_ || currentSession_->id != sessionID) {
    deps_.logger.info(LogCategory::state, "endTake: the take's session is no longer open");
    co_return;
  }
  currentTakeURL_ = result->url;
  pendingTakeDuration_ = result->duration;
  pendingTrim_.reset();
  state_ = AppState::reviewing;
  publish();
  deps_.statusBadge.hide();
  runOpenWindow(kReviewWindow);
}

void AppStateManager::recordingFailed(const std::string& description) {
  deps_.logger.error(LogCategory::recorder,
                     formatString("recording stopped: %s", description.c_str()));
  if (!isCapturing())
    return;
  spawn(endTakeAfterFailure(description));
}

Task<void> AppStateManager::endTakeAfterFailure(std::string description) {
  Alive alive = self_;
  co_await endTake();
  if (alive.expired())
    co_return;
  showAlert(AlertStyle::warning, "Recording stopped", description);
}

bool AppStateManager::isPendingTakeUsable() const {
  // A take whose length could not be read would enter the session with an
  // empty range, and the session would no longer load.
  if (!std::isfinite(pendingTakeDuration_) || pendingTakeDuration_ <= 0)
    return false;
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
  continueAfterDecision();
}

void AppStateManager::approveAndNewScene() {
  if (state_ != AppState::reviewing || !isPendingTakeUsable())
    return;
  commitPendingTake();
  clearPendingTake();
  setState(AppState::idle);
  nextScene();
  continueAfterDecision();
}

void AppStateManager::approvePendingTake() {
  if (state_ != AppState::reviewing || !isPendingTakeUsable())
    return;
  commitPendingTake();
  pendingTakeDuration_ = 0;
  pendingTrim_.reset();
  setState(AppState::idle);
  publish();
  // The window stays on the approved take unless another waits for review.
  if (!unreviewedTakes_.empty())
    launch([](AppStateManager& manager) { manager.offerNextUnreviewedTake(); });
}

void AppStateManager::deleteAndRetake() {
  if (currentTakeURL_)
    removeFileQuietly(*currentTakeURL_);
  clearPendingTake();
  setState(AppState::idle);
  continueAfterDecision();
}

void AppStateManager::continueAfterDecision() {
  // Launched, so that the caller's own steps (closing the review window)
  // come first.
  if (!unreviewedTakes_.empty()) {
    launch([](AppStateManager& manager) { manager.offerNextUnreviewedTake(); });
    return;
  }
  launch([](AppStateManager& manager) { spawn(manager.startTake()); });
}

void AppStateManager::offerUnreviewedTakes() {
  unreviewedTakes_.clear();
  if (!currentSession_)
    return;
  deps_.store.removeAbandonedTakeCopies(*currentSession_);
  unreviewedTakes_ = deps_.store.unreviewedTakes(*currentSession_);
  publish();
  offerNextUnreviewedTake();
}

bool AppStateManager::offerNextUnreviewedTake() {
  if (unreviewedTakes_.empty() || !currentSession_)
    return false;
  // Only between takes: a take that runs or waits for a decision comes
  // first.
  if (state_ != AppState::idle || start_)
    return false;
  SessionStore::UnreviewedTake next = unreviewedTakes_.front();
  unreviewedTakes_.erase(unreviewedTakes_.begin());
  deps_.logger.info(LogCategory::state, formatString("offering unreviewed take %s duration=%f",
                                                     next.filename.c_str(), next.duration));
  currentTakeURL_ = currentSession_->takesFolder() / next.filename;
  pendingTakeDuration_ = next.duration;
  pendingTrim_.reset();
  state_ = AppState::reviewing;
  publish();
  runOpenWindow(kReviewWindow);
  return true;
}

Task<void> AppStateManager::endTakeAndNextScene() {
  Alive alive = self_;
  co_await endTake();
  if (alive.expired())
    co_return;
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
  if (start_) {
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
  registerGlobalShortcuts();
}

void AppStateManager::registerGlobalShortcuts() {
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
  Alive alive = self_;
  std::optional<RecordedTake> result = co_await deps_.recorder.stopRecording();
  if (alive.expired())
    co_return;
  deps_.statusBadge.hide();
  if (result) {
    currentTakeURL_ = result->url;
    pendingTakeDuration_ = result->duration;
    pendingTrim_.reset();
    if (isPendingTakeUsable()) {
      commitPendingTake();
    } else if (isUsableTakeFile(result->url)) {
      // Its length could not be read: it cannot join the session, and it is
      // not ours to delete without the user.
      deps_.logger.error(LogCategory::state,
                         formatString("stopAndKeep: %s kept on disk, duration unreadable",
                                      result->url.filename().string().c_str()));
    } else {
      removeFileQuietly(result->url);
    }
  }
  clearPendingTake();
  setState(AppState::idle);
}

Task<void> AppStateManager::stopAndDiscard() {
  Alive alive = self_;
  std::optional<RecordedTake> result = co_await deps_.recorder.stopRecording();
  if (alive.expired())
    co_return;
  deps_.statusBadge.hide();
  if (result)
    removeFileQuietly(result->url);
  clearPendingTake();
  setState(AppState::idle);
}

} // namespace vidorel
