#pragma once

// Fakes of the coordinator's collaborators, logging their calls in order in
// one shared CallLog.

#include "base/task.h"
#include "fakes/fake_defaults_store.h"
#include "workflow/collaborators.h"
#include "workflow/permissions.h"
#include "workflow/platform.h"
#include "workflow/preferences.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {

struct CallLog {
  std::vector<std::string> calls;
  // Lets a test act at the moment a collaborator is called.
  std::function<void(const std::string&)> onCall;
  void add(std::string call) {
    calls.push_back(std::move(call));
    if (onCall)
      onCall(calls.back());
  }
  int count(const std::string& call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }
  bool contains(const std::string& call) const { return count(call) > 0; }
  void clear() { calls.clear(); }
};

// Keeps the shared CallLog for the fakes below.
struct LogsCalls {
  explicit LogsCalls(CallLog& log) : log_(&log) {}
  CallLog* log_;
};

// Writes a take file of `size` bytes when capture starts; stopping hands it
// back with `duration`. Each step suspends once, as the real one does.
class FakeRecorder final : LogsCalls, public Recorder {
public:
  FakeRecorder(MainLoop& loop, CallLog& log) : LogsCalls(log), loop_(loop) {}

  std::function<void(std::string)> failureHandler;
  void setFailureHandler(std::function<void(std::string)> handler) override {
    failureHandler = std::move(handler);
  }
  std::optional<std::string> startError;
  bool startErrorAfterStream = false; // the display stream had opened
  std::size_t fileSize = 4096;
  double duration = 2.5;
  bool microphoneRunning = false;
  bool recording = false;
  int starts = 0;
  std::filesystem::path url;

  std::optional<std::string> prepareMicrophone() override {
    log_->add("recorder.prepareMicrophone");
    microphoneRunning = true;
    return std::nullopt;
  }
  void releaseMicrophone() override {
    log_->add("recorder.releaseMicrophone");
    microphoneRunning = false;
  }
  Task<std::optional<std::string>> startRecording(std::filesystem::path to,
                                                  std::optional<ShareableContent>) override {
    log_->add("recorder.startRecording " + to.filename().string());
    ++starts;
    co_await yieldToLoop(loop_);
    if (startError) {
      if (startErrorAfterStream) {
        url = to;
        recording = true;
        std::ofstream(to) << "partial";
      }
      co_return startError;
    }
    url = to;
    recording = true;
    microphoneRunning = true;
    std::ofstream(to, std::ios::binary) << std::string(fileSize, 'x');
    co_return std::nullopt;
  }
  Task<std::optional<RecordedTake>> stopRecording() override {
    log_->add("recorder.stopRecording");
    co_await yieldToLoop(loop_);
    if (!recording)
      co_return std::nullopt;
    recording = false;
    microphoneRunning = false;
    co_return RecordedTake{url, duration};
  }
  void pause() override { log_->add("recorder.pause"); }
  void resume() override { log_->add("recorder.resume"); }

private:
  MainLoop& loop_;
};

// Runs for three virtual seconds unless cancel() is called meanwhile.
class FakeCountdown final : LogsCalls, public Countdown {
public:
  FakeCountdown(MainLoop& loop, CallLog& log) : LogsCalls(log), loop_(loop) {}
  bool running = false;
  Task<bool> run(int from) override {
    log_->add("countdown.run " + std::to_string(from));
    running = true;
    cancelled_ = false;
    for (int tick = 0; tick < from * 10 && !cancelled_; ++tick)
      co_await sleepFor(loop_, Milliseconds(100));
    running = false;
    co_return !cancelled_;
  }
  // A count that cannot be ended early runs out whatever happens.
  bool ignoresCancel = false;
  void cancel() override {
    log_->add("countdown.cancel");
    if (!ignoresCancel)
      cancelled_ = true;
  }

private:
  MainLoop& loop_;
  bool cancelled_ = false;
};

class FakeStatusPanel final : LogsCalls, public StatusPanel {
public:
  using LogsCalls::LogsCalls;
  bool visible = false;
  void show() override {
    log_->add("statusPanel.show");
    visible = true;
  }
  void hide() override {
    log_->add("statusPanel.hide");
    visible = false;
  }
};

class FakeGlobalShortcuts final : LogsCalls, public GlobalShortcuts {
public:
  using LogsCalls::LogsCalls;
  std::map<ShortcutAction, std::function<void()>> handlers;
  ShortcutBindings registered;
  void setHandler(ShortcutAction action, std::function<void()> handler) override {
    handlers[action] = std::move(handler);
  }
  void registerBindings(const ShortcutBindings& bindings) override {
    log_->add("shortcuts.register " + std::to_string(bindings.size()));
    registered = bindings;
  }
  void unregisterAll() override {
    log_->add("shortcuts.unregisterAll");
    registered.clear();
  }
  // A press of the hot key of action, as the platform delivers it.
  void press(ShortcutAction action) {
    auto it = handlers.find(action);
    if (it != handlers.end())
      it->second();
  }
};

class FakeSessionExport final : LogsCalls, public SessionExport {
public:
  using LogsCalls::LogsCalls;
  std::vector<Session> exported;
  Task<void> exportSession(Session session) override {
    log_->add("exporter.exportSession");
    exported.push_back(std::move(session));
    co_return;
  }
};

class FakeUpdater final : LogsCalls, public Updater {
public:
  using LogsCalls::LogsCalls;
  bool canCheck = false;
  std::optional<bool> automatic;
  void setAutomaticallyChecksForUpdates(bool on) override { automatic = on; }
  bool start() override {
    log_->add("updater.start");
    return canCheck;
  }
  bool canCheckForUpdates() const override { return canCheck; }
  void checkForUpdates() override { log_->add("updater.checkForUpdates"); }
};

// Answers alerts from a script of button indexes (0 when the script is
// empty) and keeps every alert shown.
class FakeAlerts final : LogsCalls, public AlertPresenter {
public:
  using LogsCalls::LogsCalls;
  std::vector<Alert> shown;
  std::deque<int> answers;
  int runModal(const Alert& alert) override {
    log_->add("alert " + alert.message);
    shown.push_back(alert);
    if (answers.empty())
      return 0;
    int answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

// Keeps the panel that is up until the test answers it.
class FakeFilePanels final : LogsCalls, public FilePanels {
public:
  using LogsCalls::LogsCalls;
  std::optional<OpenPanelOptions> openOptions;
  std::optional<SavePanelOptions> saveOptions;
  Answer pending;
  void showOpenPanel(const OpenPanelOptions& options, Answer answer) override {
    log_->add("panel.open");
    openOptions = options;
    pending = std::move(answer);
  }
  void showSavePanel(const SavePanelOptions& options, Answer answer) override {
    log_->add("panel.save");
    saveOptions = options;
    pending = std::move(answer);
  }
  bool isUp() const { return static_cast<bool>(pending); }
  void answer(std::optional<std::filesystem::path> choice) {
    Answer answer = std::move(pending);
    pending = nullptr;
    answer(std::move(choice));
  }
};

class FakeActivation final : LogsCalls, public Activation {
public:
  using LogsCalls::LogsCalls;
  void setActivationPolicy(ActivationPolicy value) override {
    log_->add(value == ActivationPolicy::regular ? "policy regular" : "policy accessory");
  }
  void activate() override { log_->add("activate"); }
};

class FakePermissionProbes final : LogsCalls, public PermissionProbes {
public:
  using LogsCalls::LogsCalls;
  MicrophoneAuthorization microphone = MicrophoneAuthorization::authorized;
  bool grantOnRequest = true;
  // The preflight answers true from this poll on (counting the first
  // preflight as 0); never when nothing.
  std::optional<int> screenGrantedFromCall = 0;
  int preflights = 0;
  int fetches = 0;
  std::vector<SettingsPane> settingsOpened;

  MicrophoneAuthorization microphoneStatus() override { return microphone; }
  void requestMicrophoneAccess(std::function<void(bool)> answer) override {
    log_->add("probe.requestMicrophone");
    answer(grantOnRequest);
  }
  bool screenCapturePreflight() override {
    int call = preflights++;
    lastPreflight_ = screenGrantedFromCall && call >= *screenGrantedFromCall;
    return lastPreflight_;
  }
  void requestScreenCaptureAccess() override { log_->add("probe.requestScreen"); }
  void fetchShareableContent(std::function<void(std::optional<ShareableContent>)> answer) override {
    ++fetches;
    if (!lastPreflight_ && !fetchWithoutPreflight) {
      answer(std::nullopt);
      return;
    }
    answer(ShareableContent{{DisplayInfo{"screen", 0, 0, 1280, 720}}});
  }
  // A fetch that works although the preflight still says no.
  bool fetchWithoutPreflight = false;
  void openSettings(SettingsPane pane) override {
    log_->add("probe.openSettings");
    settingsOpened.push_back(pane);
  }

private:
  bool lastPreflight_ = false;
};

} // namespace vidorel
