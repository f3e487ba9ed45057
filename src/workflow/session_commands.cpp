#include "workflow/app_state_manager.h"

#include "base/files.h"
#include "base/format.h"
#include "base/xdg_paths.h"
#include "store/session_move.h"

#include <algorithm>
#include <set>

namespace vidorel {

namespace fs = std::filesystem;

namespace {

constexpr const char* kReviewWindow = "review";
constexpr const char* kExportWindow = "export";
constexpr const char* kPackageExtension = ".vidorel";

int lastSceneIndex(const Session& session) {
  return session.scenes.empty() ? 0 : static_cast<int>(session.scenes.size()) - 1;
}

// Index of the scene with this id, or -1.
int sceneIndex(const Session& session, const Uuid& id) {
  for (std::size_t i = 0; i < session.scenes.size(); ++i)
    if (session.scenes[i].id == id)
      return static_cast<int>(i);
  return -1;
}

// Index of the scene holding the take, or -1.
int sceneHoldingTake(const Session& session, const Uuid& takeID) {
  for (std::size_t i = 0; i < session.scenes.size(); ++i)
    if (session.scenes[i].take(takeID))
      return static_cast<int>(i);
  return -1;
}

bool anyTakeUses(const Session& session, const std::string& filename) {
  for (const RecordingScene& scene : session.scenes)
    for (const Take& take : scene.takes)
      if (take.filename == filename)
        return true;
  return false;
}

bool isPackage(const fs::path& path) {
  std::error_code error;
  return path.extension() == kPackageExtension && fs::is_directory(path, error);
}

} // namespace

// Session commands.

UnsavedChangesChoice AppStateManager::promptUnsavedChanges() {
  Alert alert{"Save recording before closing?",
              "Your recording has unsaved changes. Save before continuing?",
              AlertStyle::informational,
              {"Save…", "Don’t Save", "Cancel"}};
  switch (deps_.alerts.runModal(alert)) {
  case 0:
    return UnsavedChangesChoice::saveChanges;
  case 1:
    return UnsavedChangesChoice::discardChanges;
  default:
    return UnsavedChangesChoice::cancel;
  }
}

// A running take is never left under a session that is replaced, moved or
// closed: each such command ends it first, kept (or discarded when the
// user throws the whole recording away), and then acts.

Task<void> AppStateManager::newSession() {
  Alive alive = self_;
  if (currentSession_ && !currentSession_->bundleURL) {
    switch (promptUnsavedChanges()) {
    case UnsavedChangesChoice::saveChanges:
      if (isCapturing()) {
        co_await stopAndKeep();
        if (alive.expired())
          co_return;
      }
      saveSessionAs(
          [this] { launch([](AppStateManager& manager) { spawn(manager.startNewSession()); }); });
      co_return;
    case UnsavedChangesChoice::cancel:
      co_return;
    case UnsavedChangesChoice::discardChanges:
      if (isCapturing()) {
        co_await stopAndDiscard();
        if (alive.expired())
          co_return;
      }
      discardSessionAndClose();
      break;
    }
  } else if (currentSession_) {
    if (isCapturing()) {
      co_await stopAndKeep();
      if (alive.expired())
        co_return;
    }
    closeSession();
  }
  co_await startNewSession();
}

Task<void> AppStateManager::startNewSession() {
  std::error_code error;
  fs::path folder = Session::makeScratchDirectory(error);
  if (error)
    co_return;
  abandonStart();
  unreviewedTakes_.clear();
  currentSession_ = Session(folder);
  publish();
  autoSave();
  co_await startTake();
}

void AppStateManager::openSession() {
  spawn(openSessionSteps());
}

// Opening another session and closing this one both first settle a
// session that was never saved: saved (the command goes on after the save
// panel, through afterSave), thrown away, or kept open by Cancel. A take
// that runs ends first, kept unless the session is thrown away.
Task<AppStateManager::Leaving>
AppStateManager::leaveCurrentSession(std::function<void()> afterSave) {
  Alive alive = self_;
  UnsavedChangesChoice choice = UnsavedChangesChoice::saveChanges;
  bool unsaved = currentSession_ && !currentSession_->bundleURL;
  if (unsaved) {
    choice = promptUnsavedChanges();
    if (choice == UnsavedChangesChoice::cancel)
      co_return Leaving::cancelled;
  }
  if (isCapturing()) {
    if (choice == UnsavedChangesChoice::discardChanges)
      co_await stopAndDiscard();
    else
      co_await stopAndKeep();
    if (alive.expired())
      co_return Leaving::gone;
  }
  if (!unsaved)
    co_return Leaving::goOn;
  if (choice == UnsavedChangesChoice::discardChanges) {
    discardSessionAndClose();
    co_return Leaving::discarded;
  }
  saveSessionAs(std::move(afterSave));
  co_return Leaving::saving;
}

Task<void> AppStateManager::openSessionSteps() {
  Alive alive = self_;
  Leaving leaving = co_await leaveCurrentSession([this] { showOpenPanel(); });
  if (alive.expired())
    co_return;
  if (leaving == Leaving::discarded)
    showOpenPanel();
  if (leaving != Leaving::goOn)
    co_return;
  if (currentSession_)
    closeSession();
  showOpenPanel();
}

void AppStateManager::showOpenPanel() {
  deps_.activation.setActivationPolicy(ActivationPolicy::regular);
  deps_.activation.activate();
  std::weak_ptr<AppStateManager*> weak = self_;
  deps_.panels.showOpenPanel(OpenPanelOptions{"Choose a .vidorel recording", kPackageExtension},
                             [weak](std::optional<fs::path> url) {
                               auto self = weak.lock();
                               if (!self || !url)
                                 return;
                               (*self)->launch([url = *url](AppStateManager& manager) {
                                 spawn(manager.openRecording(url));
                               });
                             });
}

Task<void> AppStateManager::openRecording(fs::path url) {
  Alive alive = self_;
  Expected<Session, ManifestError> loaded = deps_.store.load(url, url);
  if (!loaded) {
    showAlert(AlertStyle::warning, "Couldn’t open recording", loaded.error().description());
    co_return;
  }
  ReconcileResult result = co_await deps_.store.reconcileTakeFiles(std::move(*loaded));
  if (alive.expired())
    co_return;
  Session session = std::move(result.session);
  if (!result.missing.empty() || !result.corrected.empty()) {
    showAlert(AlertStyle::warning, "Recording loaded with issues",
              SessionStore::issueReport(result.missing, result.corrected));
    (void)deps_.store.save(session);
  }
  // The panel was opened with no session; one may have been started and be
  // recording by the time it is answered.
  if (isCapturing()) {
    co_await stopAndKeep();
    if (alive.expired())
      co_return;
  }
  if (currentSession_)
    closeSession();
  session.currentSceneIndex = lastSceneIndex(session);
  currentSession_ = std::move(session);
  publish();
  previewLastTake();
  setState(AppState::idle);
  runOpenWindow(kReviewWindow);
  offerUnreviewedTakes();
}

void AppStateManager::previewLastTake() {
  if (!currentSession_)
    return;
  const Session& session = *currentSession_;
  if (session.scenes.empty())
    return;
  const RecordingScene& scene = session.scenes[session.currentSceneIndex];
  if (scene.takes.empty())
    return;
  currentTakeURL_ = session.takeFile(scene.takes.back());
  publish();
}

void AppStateManager::saveSession() {
  if (currentSession_ && currentSession_->bundleURL)
    autoSave();
}

void AppStateManager::saveSessionAs(std::function<void()> then) {
  deps_.activation.setActivationPolicy(ActivationPolicy::regular);
  deps_.activation.activate();
  std::weak_ptr<AppStateManager*> weak = self_;
  std::optional<Uuid> sessionID;
  if (currentSession_)
    sessionID = currentSession_->id;
  deps_.panels.showSavePanel(
      SavePanelOptions{"Recording.vidorel", std::nullopt, true},
      [weak, then = std::move(then), sessionID](std::optional<fs::path> url) {
        auto self = weak.lock();
        if (!self || !url)
          return;
        (*self)->launch([url = *url, then, sessionID](AppStateManager& manager) {
          spawn(manager.finishSaveAs(url, then, sessionID));
        });
      });
}

Task<void> AppStateManager::finishSaveAs(fs::path url, std::function<void()> then,
                                         std::optional<Uuid> sessionID) {
  Alive alive = self_;
  std::optional<Uuid> currentID;
  if (currentSession_)
    currentID = currentSession_->id;
  // The panel belongs to the session it was opened for; saving another one
  // there is not what the user asked.
  if (currentID != sessionID) {
    deps_.logger.info(LogCategory::state, "save panel answered for a session no longer open");
    co_return;
  }
  // A take started while the panel was up would lose its folder.
  if (isCapturing()) {
    co_await stopAndKeep();
    if (alive.expired())
      co_return;
  }
  std::optional<std::string> error = saveSession(url);
  if (error) {
    showAlert(AlertStyle::warning, "Couldn’t save recording", *error);
    co_return;
  }
  if (then)
    then();
}

std::optional<std::string> AppStateManager::saveSession(fs::path destination) {
  if (!currentSession_)
    return std::nullopt;
  if (destination.extension() != kPackageExtension)
    destination += kPackageExtension;
  destination = fs::absolute(destination).lexically_normal();

  const Session& session = *currentSession_;
  const fs::path& folder = session.activeFolder();
  std::error_code error;

  // Saving a package onto itself writes it in place.
  if (session.bundleURL && fs::equivalent(destination, folder, error)) {
    error = deps_.store.save(session);
    if (error)
      return error.message();
    currentSession_->isDirty = false;
    publish();
    return std::nullopt;
  }
  if (isWithin(destination, folder))
    return formatString("%s lies inside the recording's own folder.", destination.c_str());

  bool exists = fs::exists(fs::symlink_status(destination, error));
  if (exists && !isPackage(destination))
    return formatString("%s already exists and is not a recording package; it was not replaced.",
                        destination.c_str());

  // A scratch session is moved (one rename, or across file systems a synced
  // copy that takes the destination's place before the scratch folder goes,
  // so that a crash at any instant leaves it either for the recovery scan
  // or whole at the destination); an open package is copied and stays. A
  // failure leaves the session and an existing package as they were.
  SessionMoveOptions options;
  options.keepSource = session.bundleURL.has_value();
  error = placeSessionFolder(folder, destination, options);
  if (error)
    return error.message();

  Session copy = session;
  copy.bundleURL = destination;
  copy.isDirty = false;
  error = deps_.store.save(copy);
  if (error) {
    // The folder now lives at the destination; the session must follow it,
    // or every later save would go to a folder that no longer exists.
    copy.isDirty = true;
    currentSession_ = std::move(copy);
    publish();
    return error.message();
  }
  currentSession_ = std::move(copy);
  if (currentTakeURL_)
    currentTakeURL_ = currentSession_->takesFolder() / currentTakeURL_->filename();
  publish();
  return std::nullopt;
}

Task<void> AppStateManager::closeRecording() {
  Alive alive = self_;
  Leaving leaving = co_await leaveCurrentSession([this] { closeSession(); });
  if (!alive.expired() && leaving == Leaving::goOn)
    closeSession();
}

void AppStateManager::closeSession() {
  // A take being started for this session must not start under the next.
  abandonStart();
  unreviewedTakes_.clear();
  suppressReviewWindowCloseBehavior_ = true;
  state_ = AppState::idle;
  currentTakeURL_.reset();
  pendingTakeDuration_ = 0;
  pendingTrim_.reset();
  publish();
  runDismissWindow(kReviewWindow);
  runDismissWindow(kExportWindow);
  deps_.statusBadge.hide();
  currentSession_.reset();
  publish();
  suppressReviewWindowCloseBehavior_ = false;
}

void AppStateManager::discardSessionAndClose() {
  if (currentSession_)
    (void)currentSession_->removeSessionFolder();
  closeSession();
}

void AppStateManager::openRecoveredSession(const Session& session) {
  if (isCapturing()) {
    spawn(openRecoveredSessionSteps(session));
    return;
  }
  adoptRecoveredSession(session);
}

Task<void> AppStateManager::openRecoveredSessionSteps(Session session) {
  Alive alive = self_;
  co_await stopAndKeep();
  if (alive.expired())
    co_return;
  adoptRecoveredSession(session);
}

void AppStateManager::adoptRecoveredSession(const Session& session) {
  abandonStart();
  Session copy = session;
  copy.currentSceneIndex = lastSceneIndex(copy);
  Uuid id = copy.id;
  currentSession_ = std::move(copy);
  std::erase_if(recoverableSessions_, [&](const Session& entry) { return entry.id == id; });
  publish();
  previewLastTake();
  setState(AppState::idle);
  runOpenWindow(kReviewWindow);
  offerUnreviewedTakes();
}

void AppStateManager::discardRecoveredSessions() {
  for (const Session& session : recoverableSessions_)
    (void)session.removeSessionFolder();
  recoverableSessions_.clear();
  publish();
}

int AppStateManager::currentTakeNumber() const {
  if (!currentSession_ || currentSession_->scenes.empty())
    return 1;
  return currentSession_->scenes[currentSession_->currentSceneIndex].nextTakeNumber();
}

int AppStateManager::selectedTakeCount() const {
  if (!currentSession_)
    return 0;
  return static_cast<int>(currentSession_->selectedTakes().size());
}

void AppStateManager::exportFinalVideo() {
  if (!currentSession_ || !currentSession_->bundleURL)
    return;
  Session copy = *currentSession_;
  launch([copy](AppStateManager& manager) { spawn(manager.deps_.exporter.exportSession(copy)); });
}

void AppStateManager::checkForUpdates() {
  deps_.activation.setActivationPolicy(ActivationPolicy::regular);
  deps_.activation.activate();
  if (deps_.updater.canCheckForUpdates()) {
    deps_.updater.checkForUpdates();
    return;
  }
  showAlert(AlertStyle::warning, "Can't check for updates",
            "The update feed is not configured. Set a valid SUFeedURL in Info.plist.");
}

// Session edits.

void AppStateManager::selectScene(const Uuid& id) {
  updateSession([&](Session& session) {
    int index = sceneIndex(session, id);
    if (index >= 0)
      session.currentSceneIndex = index;
  });
}

void AppStateManager::selectTake(const Uuid& sceneID, const std::optional<Uuid>& takeID) {
  if (!currentSession_)
    return;
  int found = sceneIndex(*currentSession_, sceneID);
  if (found < 0)
    return;
  // A selection the scene does not hold would be written and then refused
  // at the next load.
  if (takeID && !currentSession_->scenes[found].take(*takeID)) {
    deps_.logger.error(LogCategory::state, "selectTake ignored: the take is not in the scene");
    return;
  }
  updateSession([&](Session& session) {
    int index = sceneIndex(session, sceneID);
    if (index < 0)
      return;
    session.scenes[index].selectedTakeID = takeID;
    session.currentSceneIndex = index;
  });
}

void AppStateManager::renameScene(const Uuid& id, const std::string& name) {
  updateSession([&](Session& session) {
    int index = sceneIndex(session, id);
    if (index < 0)
      return;
    session.scenes[index].name = name.empty() ? std::nullopt : std::optional<std::string>(name);
  });
}

void AppStateManager::renameTake(const Uuid& sceneID, const Uuid& takeID, const std::string& name) {
  updateSession([&](Session& session) {
    int index = sceneIndex(session, sceneID);
    if (index < 0)
      return;
    for (Take& take : session.scenes[index].takes)
      if (take.id == takeID)
        take.name = name.empty() ? std::nullopt : std::optional<std::string>(name);
  });
}

void AppStateManager::setTrim(const Uuid& takeID, double start, double end) {
  if (!currentSession_)
    return;
  int index = sceneHoldingTake(*currentSession_, takeID);
  if (index < 0)
    return;
  const Take* take = currentSession_->scenes[index].take(takeID);
  double trimStart = start >= 0 ? start : 0;
  double trimEnd = std::min(end, take->duration);
  // An empty range would be written and then refused at the next load.
  if (!(trimEnd > trimStart)) {
    deps_.logger.error(LogCategory::state,
                       formatString("setTrim ignored: empty range %f-%f", trimStart, trimEnd));
    return;
  }
  updateSession([&](Session& session) {
    for (Take& t : session.scenes[index].takes) {
      if (t.id != takeID)
        continue;
      t.trimStart = trimStart;
      t.trimEnd = trimEnd;
    }
  });
}

void AppStateManager::deleteTake(const Uuid& id) {
  if (!currentSession_)
    return;
  int index = sceneHoldingTake(*currentSession_, id);
  if (index < 0)
    return;
  std::string filename = currentSession_->scenes[index].take(id)->filename;
  updateSession([&](Session& session) { session.scenes[index].removeTake(id); });
  if (!anyTakeUses(*currentSession_, filename))
    removeFileQuietly(currentSession_->takesFolder() / filename);
}

void AppStateManager::deleteScene(const Uuid& id) {
  if (!currentSession_ || currentSession_->scenes.size() <= 1)
    return;
  int index = sceneIndex(*currentSession_, id);
  if (index < 0)
    return;
  RecordingScene removed = currentSession_->scenes[index];
  updateSession([&](Session& session) {
    session.scenes.erase(session.scenes.begin() + index);
    if (session.currentSceneIndex >= static_cast<int>(session.scenes.size()))
      session.currentSceneIndex = lastSceneIndex(session);
  });
  std::set<std::string> names;
  for (const Take& take : removed.takes)
    names.insert(take.filename);
  for (const std::string& name : names)
    if (!anyTakeUses(*currentSession_, name))
      removeFileQuietly(currentSession_->takesFolder() / name);
}

void AppStateManager::duplicateScene(const Uuid& id) {
  if (!currentSession_)
    return;
  int index = sceneIndex(*currentSession_, id);
  if (index < 0)
    return;
  const RecordingScene& source = currentSession_->scenes[index];
  std::vector<std::string> filenames;
  for (const Take& take : source.takes)
    filenames.push_back(take.filename);
  auto copied = deps_.store.copyTakeFiles(filenames, currentSession_->takesFolder());
  if (!copied) {
    showAlert(AlertStyle::warning, "Couldn't duplicate scene", copied.error().message());
    return;
  }
  RecordingScene duplicate = source.duplicated(index, *copied);
  updateSession([&](Session& session) {
    session.scenes.insert(session.scenes.begin() + index + 1, duplicate);
    if (index < session.currentSceneIndex)
      ++session.currentSceneIndex;
  });
}

void AppStateManager::moveScene(const Uuid& id, const Uuid& targetID) {
  if (!currentSession_ || id == targetID)
    return;
  int from = sceneIndex(*currentSession_, id);
  int to = sceneIndex(*currentSession_, targetID);
  if (from < 0 || to < 0)
    return;
  updateSession([&](Session& session) {
    Uuid current = session.scenes[session.currentSceneIndex].id;
    RecordingScene moved = session.scenes[from];
    session.scenes.erase(session.scenes.begin() + from);
    session.scenes.insert(session.scenes.begin() + std::min<int>(to, session.scenes.size()),
                          std::move(moved));
    session.currentSceneIndex = std::max(0, sceneIndex(session, current));
  });
}

void AppStateManager::moveTake(const Uuid& id, const Uuid& targetSceneID) {
  if (!currentSession_)
    return;
  int from = sceneHoldingTake(*currentSession_, id);
  int to = sceneIndex(*currentSession_, targetSceneID);
  if (from < 0 || to < 0 || from == to)
    return;
  updateSession([&](Session& session) {
    Take take = *session.scenes[from].take(id);
    session.scenes[from].removeTake(id);
    session.scenes[to].takes.push_back(std::move(take));
  });
}

// Start-up.

void AppStateManager::scanRecoverableSessions() {
  std::vector<Session> found = deps_.store.recoverableSessions(scratchRoot());
  // A session started before the scan lives in the scratch root too; it is
  // open, not lost.
  if (currentSession_)
    std::erase_if(found, [&](const Session& s) { return s.id == currentSession_->id; });
  recoverableSessions_ = std::move(found);
  publish();
}

Task<void> AppStateManager::launchSequence() {
  Alive alive = self_;
  co_await deps_.permissions.runLaunchFlow();
  if (alive.expired())
    co_return;
  deps_.activation.setActivationPolicy(ActivationPolicy::accessory);
  registerGlobalShortcuts();
  scanRecoverableSessions();
}

} // namespace vidorel
