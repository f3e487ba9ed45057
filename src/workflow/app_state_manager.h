#pragma once

#include "base/log.h"
#include "base/main_loop.h"
#include "base/task.h"
#include "model/session.h"
#include "store/session_store.h"
#include "workflow/app_state.h"
#include "workflow/collaborators.h"
#include "workflow/permissions.h"
#include "workflow/platform.h"
#include "workflow/preferences.h"

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {

enum class UnsavedChangesChoice { saveChanges, discardChanges, cancel };

// Everything the coordinator works with, owned by whoever builds it (the
// shell in the app, the test fixture in tests).
struct AppStateDependencies {
  MainLoop& loop;
  Logger& logger;
  Recorder& recorder;
  SessionStore& store;
  GlobalShortcuts& shortcuts;
  Countdown& countdown;
  PermissionsCoordinator& permissions;
  SessionExport& exporter;
  StatusPanel& statusBadge;
  Updater& updater;
  Preferences& preferences;
  AlertPresenter& alerts;
  FilePanels& panels;
  Activation& activation;
};

// The one coordinator: the workflow state, the current session and every
// command, whether it comes from a hot key, the menu or a window. Lives for
// the whole run and is used on the main loop only.
class AppStateManager {
public:
  // Loads bindings and the update flag, starts the updater, installs the
  // hot-key handlers and launches the launch sequence (not awaited).
  explicit AppStateManager(AppStateDependencies deps);
  ~AppStateManager();
  AppStateManager(const AppStateManager&) = delete;
  AppStateManager& operator=(const AppStateManager&) = delete;

  // Published fields. Observers are called after every change of any of
  // them; views read the fields again then.
  using ObserverID = int;
  ObserverID addObserver(std::function<void()> observer);
  void removeObserver(ObserverID id);

  bool permissionsOK() const { return permissionsOK_; }
  AppState state() const { return state_; }
  const std::optional<Session>& currentSession() const { return currentSession_; }
  const std::optional<std::filesystem::path>& currentTakeURL() const { return currentTakeURL_; }
  const std::vector<Session>& recoverableSessions() const { return recoverableSessions_; }
  const ShortcutBindings& shortcutBindings() const { return shortcutBindings_; }
  bool automaticallyChecksForUpdates() const { return automaticallyChecksForUpdates_; }
  void setAutomaticallyChecksForUpdates(bool on);
  double pendingTakeDuration() const { return pendingTakeDuration_; }
  bool autoPausedByMenu() const { return autoPausedByMenu_; }
  bool suppressReviewWindowCloseBehavior() const { return suppressReviewWindowCloseBehavior_; }
  // True from the first step of a take's start until capture runs or the
  // start gives up. A start ends with the session it belongs to.
  bool startInProgress() const { return start_ != nullptr; }
  // Take files found in the session's folder that no take names and that
  // wait, after the one under review, to be offered for review; newest
  // first.
  const std::vector<SessionStore::UnreviewedTake>& unreviewedTakes() const {
    return unreviewedTakes_;
  }

  // Installed by the shell each time its menu is shown; no-ops until then.
  std::function<void(const std::string&)> openWindow;
  std::function<void(const std::string&)> dismissWindow;

  // The take workflow.
  Task<void> startTake();
  void pauseRecording();
  void resumeRecording();
  void togglePause();
  Task<void> endTake();
  bool isPendingTakeUsable() const;
  void commitPendingTake();
  void approveAndNewTake();
  void approveAndNewScene();
  void deleteAndRetake();
  Task<void> endTakeAndNextScene();
  void nextScene();
  void updateSession(const std::function<void(Session&)>& edit);
  void autoSave();
  void registerShortcutHandlers();
  void reloadShortcuts();
  // The hot-key handlers themselves, as the table of states says.
  void handleShortcut(ShortcutAction action);

  // The tray menu opening and closing while a take runs.
  void menuWillOpen();
  void menuDidClose();
  // The review window closed; by hand it discards the take.
  void reviewWindowDidClose();
  // The review window's plain approve: the take joins the scene and stays
  // on screen.
  void approvePendingTake();

  // Session commands.
  Task<void> newSession();
  Task<void> startNewSession();
  void openSession();
  void showOpenPanel();
  Task<void> openRecording(std::filesystem::path url);
  void saveSession();
  void saveSessionAs(std::function<void()> then = {});
  // The error's description on failure.
  std::optional<std::string> saveSession(std::filesystem::path destination);
  Task<void> closeRecording();
  void closeSession();
  void discardSessionAndClose();
  void openRecoveredSession(const Session& session);
  void discardRecoveredSessions();
  void previewLastTake();
  int currentTakeNumber() const;
  int selectedTakeCount() const;
  void exportFinalVideo();
  void checkForUpdates();
  UnsavedChangesChoice promptUnsavedChanges();

  // Session edits from the scene tree and the review window.
  void selectScene(const Uuid& id);
  void selectTake(const Uuid& sceneID, const std::optional<Uuid>& takeID);
  void renameScene(const Uuid& id, const std::string& name);
  void renameTake(const Uuid& sceneID, const Uuid& takeID, const std::string& name);
  void setTrim(const Uuid& takeID, double start, double end);
  // The review window's range for the take waiting for approval; the take
  // keeps it when it joins the scene.
  void setPendingTrim(double start, double end);
  const std::optional<std::pair<double, double>>& pendingTrim() const { return pendingTrim_; }
  void deleteTake(const Uuid& id);
  void deleteScene(const Uuid& id);
  void duplicateScene(const Uuid& id);
  void moveScene(const Uuid& id, const Uuid& targetID);
  void moveTake(const Uuid& id, const Uuid& targetSceneID);

  void scanRecoverableSessions();
  // The start-up steps after construction: launch flow, tray only, hot
  // keys, recovery scan. Construction spawns it.
  Task<void> launchSequence();
  // The hot keys of the global actions, from the current bindings.
  void registerGlobalShortcuts();

  Preferences& preferences() { return deps_.preferences; }
  PermissionsCoordinator& permissions() { return deps_.permissions; }
  Logger& logger() { return deps_.logger; }
  MainLoop& loop() { return deps_.loop; }

private:
  // One start of a take, from the permission checks to running capture.
  struct StartAttempt {
    enum class Phase { permissions, countdown, captureStart };
    Uuid sessionID;
    Phase phase = Phase::permissions;
  };
  // Held by each coroutine of the coordinator across its suspensions: once
  // it has expired, the coordinator is gone and the coroutine must not
  // touch it again.
  using Alive = std::weak_ptr<AppStateManager*>;

  void publish();
  void setState(AppState state);
  void clearPendingTake();
  Task<void> startTakeSteps(std::shared_ptr<StartAttempt> attempt);
  Task<void> countdownAndCapture(std::shared_ptr<StartAttempt> attempt, Session session);
  // The start in progress no longer belongs to the open session: it stops
  // at its next step and leaves nothing running.
  void abandonStart();
  bool isCapturing() const { return state_ == AppState::recording || state_ == AppState::paused; }
  // Writing the take failed while it recorded: it ends like endTake and the
  // user is told why.
  void recordingFailed(const std::string& description);
  Task<void> endTakeAfterFailure(std::string description);
  // After a decision on the take under review: the next unreviewed take is
  // offered, else a new take starts.
  void continueAfterDecision();
  void offerUnreviewedTakes();
  bool offerNextUnreviewedTake();
  Task<void> openSessionSteps();
  enum class Leaving { goOn, saving, discarded, cancelled, gone };
  Task<Leaving> leaveCurrentSession(std::function<void()> afterSave);
  Task<void> openRecoveredSessionSteps(Session session);
  void adoptRecoveredSession(const Session& session);
  Task<void> finishSaveAs(std::filesystem::path url, std::function<void()> then,
                          std::optional<Uuid> sessionID);
  Task<void> stopAndKeep();
  Task<void> stopAndDiscard();
  void removeFileQuietly(const std::filesystem::path& file);
  void runOpenWindow(const std::string& id);
  void runDismissWindow(const std::string& id);
  // Runs fn on the main loop after the current command has returned, and
  // only while the coordinator still exists.
  void launch(std::function<void(AppStateManager&)> fn);
  void showAlert(AlertStyle style, const std::string& message, const std::string& informative);

  AppStateDependencies deps_;
  // Guards the hot-key handlers against a coordinator that is gone.
  std::shared_ptr<AppStateManager*> self_;

  bool permissionsOK_ = false;
  AppState state_ = AppState::idle;
  std::optional<Session> currentSession_;
  std::optional<std::filesystem::path> currentTakeURL_;
  bool autoPausedByMenu_ = false;
  std::vector<Session> recoverableSessions_;
  bool suppressReviewWindowCloseBehavior_ = false;
  double pendingTakeDuration_ = 0;
  std::optional<std::pair<double, double>> pendingTrim_;
  ShortcutBindings shortcutBindings_;
  bool automaticallyChecksForUpdates_ = true;
  std::shared_ptr<StartAttempt> start_;
  // Starts that are in their countdown or capture start, abandoned ones
  // included: a new start waits for them, so that two counts or two
  // captures never run side by side.
  int busyStartSteps_ = 0;
  std::vector<SessionStore::UnreviewedTake> unreviewedTakes_;

  std::map<ObserverID, std::function<void()>> observers_;
  ObserverID nextObserverID_ = 1;
};

} // namespace vidorel
