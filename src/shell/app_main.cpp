#include "shell/commands.h"

#include <cstdio>

#if __has_include("capture/linux_permission_probes.h") && __has_include("workflow/updater.h")

#include "base/log.h"
#include "capture/linux_permission_probes.h"
#include "capture/portal_capture_backend.h"
#include "capture/recorder_adapter.h"
#include "capture/screen_recorder.h"
#include "capture/x11_screen_source.h"
#include "export/export_coordinator.h"
#include "export/export_summary_view.h"
#include "export/ffmpeg_session_exporter.h"
#include "review/mpv_player.h"
#include "review/review_window_view.h"
#include "shell/control_locator.h"
#include "shell/countdown_view.h"
#include "shell/qt_desktop_services.h"
#include "shell/qt_main_loop.h"
#include "shell/qt_screens.h"
#include "shell/qt_single_instance.h"
#include "shell/qt_window_host.h"
#include "shell/shell_control.h"
#include "shell/tray_view.h"
#include "shell/workflow_adapters.h"
#include "shell/x11_escape_grab.h"
#include "shortcuts/portal_global_shortcuts.h"
#include "shortcuts/settings_view.h"
#include "store/duration_probe.h"
#include "store/session_store.h"
#include "workflow/app_state_manager.h"
#include "workflow/json_defaults_store.h"
#include "workflow/updater.h"
#if __has_include("shortcuts/xkb_keyboard_layout.h")
#include "shortcuts/keyboard_layout_watcher.h"
#include "shortcuts/xkb_keyboard_layout.h"
#define VIDOREL_HAVE_XKB_LAYOUT 1
#else
#include "shortcuts/keyboard_layout.h"
#endif
#if __has_include("shortcuts/x11_hot_keys.h")
#include "shortcuts/x11_hot_keys.h"
#define VIDOREL_HAVE_X11_HOT_KEYS 1
#endif

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QUrl>

#include <cstdlib>

namespace vidorel {

namespace {

std::string replaceNewlines(std::string text) {
  while (!text.empty() && text.back() == '\n')
    text.pop_back();
  for (char& c : text) {
    if (c == '\n')
      c = '|';
  }
  return text;
}

bool addLogSinks(Logger& logger) {
  logger.addSink(std::make_shared<StderrLogSink>());
  if (std::shared_ptr<LogSink> journal = makeJournalLogSink())
    logger.addSink(journal);
  return true;
}

// The review window's player draws into the window's movie area; its view
// goes with it, so that a later player never finds an old picture there.
std::shared_ptr<Player> makeMpvPlayer(QWidget* container) {
  auto* player = new MpvPlayer(container);
  if (container->layout())
    container->layout()->addWidget(player->view());
  player->view()->show();
  QPointer<QWidget> view = player->view();
  return std::shared_ptr<Player>(player, [view](Player* p) {
    delete p;
    delete view.data();
  });
}

// The countdown's length for tests of the whole app that are not about it;
// only under the test control, so a user's environment never changes it.
std::optional<int> testCountdownSeconds() {
  const char* seconds = std::getenv("VIDOREL_TEST_COUNTDOWN");
  if (!seconds || !std::getenv("VIDOREL_TEST_CONTROL"))
    return std::nullopt;
  return std::atoi(seconds);
}

int sceneNumber(const AppStateManager& manager) {
  const std::optional<Session>& session = manager.currentSession();
  return session ? session->currentSceneIndex + 1 : 1;
}

// On Wayland the screen is the monitor shared through the ScreenCast
// portal; elsewhere the X display.
std::unique_ptr<CaptureBackend> makeCaptureBackend(Logger& logger, DurationProbe& probe,
                                                   DefaultsStore& defaults) {
  if (isWaylandSession())
    return std::make_unique<PortalCaptureBackend>(logger, probe, defaults);
  return std::make_unique<X11CaptureBackend>(logger, probe);
}

std::unique_ptr<PermissionProbes> makePermissionProbes(CaptureBackend& backend) {
  if (auto* portal = dynamic_cast<PortalCaptureBackend*>(&backend))
    return std::make_unique<PortalPermissionProbes>(*portal);
  return std::make_unique<LinuxPermissionProbes>();
}

// A compositor cannot leave a window out of a monitor stream, so on
// Wayland the status panel stays hidden while a take is captured; the tray
// icon's tint shows the state.
class HiddenStatusPanel final : public StatusPanel {
public:
  void show() override {}
  void hide() override {}
};

// Everything the desktop app is made of, built once and torn down in
// reverse order when the event loop ends.
class DesktopApp {
public:
  DesktopApp()
      : backend_(makeCaptureBackend(logger_, probe_, defaults_)),
        recorder_(loop_, logger_, *backend_),
        recorderAdapter_(recorder_, [this] { return recordingOptions(); }), store_(logger_, probe_),
        overlay_(loop_, countdownWindow_, {&localEscape_, &escapeGrab_, &shortcuts_}),
        countdown_(overlay_, testCountdownSeconds()),
        statusPanel_([this] { return currentStatus(); }), preferences_(defaults_),
        probes_(makePermissionProbes(*backend_)), permissions_(loop_, *probes_, alerts_, windows_),
        exporter_(loop_), exportFlow_(ExportCoordinatorDependencies{
                              loop_, logger_, exporter_, preferences_, panels_, alerts_, windows_}),
        updater_(configuredUpdateFeed(),
                 [](const std::string& url) {
                   QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
                 }),
        manager_(AppStateDependencies{loop_, logger_, recorderAdapter_, store_, shortcuts_,
                                      countdown_, permissions_, exportFlow_, statusBadge(),
                                      updater_, preferences_, alerts_, panels_, windows_}),
        tray_(trayHooks(), true) {
    manager_.addObserver([this] {
      tray_.setState(manager_.state());
      statusPanel_.refresh();
    });
    // The countdown and the status panel show on the monitor being recorded.
    countdownWindow_.setScreen([this] { return recordedScreen(); });
    statusPanel_.setScreen([this] { return recordedScreen(); });
    // The window views by id; an id without one shows a placeholder.
    windows_.setFactory("review", [this] {
      return new ReviewWindowView(
          manager_, windows_, [](QWidget* container) { return makeMpvPlayer(container); },
          [this](const std::string& id) { dismissShellWindow(windows_, id); });
    });
    windows_.setFactory("export", [this] { return makeExportSummaryWindow(manager_); });
    windows_.setFactory("settings", [this] {
      return makeSettingsWindow(manager_, shortcuts_, keyboardLayout_, hotKeyRegistrations(),
                                desktopShortcutsView(), recordingChoices());
    });
    installWindowGlue();
    // Closing the review window by hand is the window's own business (it
    // throws a waiting take away); the host only forgets it.
  }

  // On Wayland the desktop's sharing dialog has chosen the monitor.
  RecordingOptions recordingOptions() const {
    return {isWaylandSession() ? std::string() : preferences_.recordingScreen(),
            preferences_.recordingSize()};
  }

  // The monitors to choose from; none on Wayland, where the desktop's
  // sharing dialog chooses.
  ShareableContent displays() {
    if (isWaylandSession())
      return {};
    try {
      return backend_->shareableContent();
    } catch (const std::exception&) {
      return {};
    }
  }

  RecordingChoices recordingChoices() {
    return {&preferences_, displays().displays, isWaylandSession()};
  }

  QScreen* recordedScreen() {
    ShareableContent content = displays();
    DisplayChoice choice = chooseDisplay(content, preferences_.recordingScreen());
    return choice.display ? qtScreenShowing(*choice.display) : nullptr;
  }

  // Lines that answer once their action took effect; the rest at once.
  void control(const std::string& line, SingleInstance::Reply reply) {
    ControlCommand command = parseControlCommand(line);
    if (command.verb == kCtlCommand) {
      runCtl(command.argument, std::move(reply));
      return;
    }
    reply(control(line));
  }

  std::string control(const std::string& line) {
    ControlCommand command = parseControlCommand(line);
    bool testing = std::getenv("VIDOREL_TEST_CONTROL") != nullptr;
    if (!isPublicControlVerb(command.verb) && !testing)
      return "error: unknown command";
    if (command.verb == kShowMenuCommand) {
      loop_.post([this] { tray_.popup(); });
      return "ok";
    }
    if (command.verb == "hide-menu") {
      tray_.hideMenu();
      return "ok";
    }
    if (command.verb == "menu?")
      return replaceNewlines(describeMenu(currentMenu()));
    if (command.verb == "hot-keys?") {
      if (portalKeys_ && portalKeys_->available())
        return "portal";
#ifdef VIDOREL_HAVE_X11_HOT_KEYS
      return "x11";
#else
      return "none";
#endif
    }
    if (command.verb == "state?")
      return std::string(stateName(manager_.state()));
    if (command.verb == "status?")
      return statusPanel_.panel() ? statusPanel_.panel()->content().title : "none";
    if (command.verb == "countdown?")
      return countdownWindow_.view() ? "visible" : "hidden";
    if (command.verb == "window?")
      return windows_.isWindowOpen(command.argument) ? "open" : "closed";
    if (command.verb == "alert?") {
      QMessageBox* box = alerts_.visibleBox();
      if (!box)
        return "none";
      return replaceNewlines((box->text() + "\n" + box->informativeText()).toStdString());
    }
    if (command.verb == "where?")
      return locateOnScreen(command.argument, manager_.currentSession(), windows_.window("review"),
                            &tray_.menu());
    if (command.verb == "review?")
      return describeReviewPlayback(windows_.window("review"));
    if (command.verb == "session?") {
      const std::optional<Session>& session = manager_.currentSession();
      return session ? session->activeFolder().string() : "none";
    }
    if (command.verb == "open-settings") {
      loop_.post([this] { choose(MenuCommand::openSettings, -1); });
      return "ok";
    }
    if (command.verb == "settings?")
      return describeSettingsRow(command.argument);
    if (command.verb == "new-recording") {
      loop_.post([this] { choose(MenuCommand::newSession, -1); });
      return "ok";
    }
    if (command.verb == "press") {
      std::optional<ShortcutAction> action = shortcutActionFromRawValue(command.argument);
      if (!action)
        return "error: unknown action";
      loop_.post([this, a = *action] { manager_.handleShortcut(a); });
      return "ok";
    }
    if (command.verb == "quit") {
      loop_.post([] { QApplication::quit(); });
      return "ok";
    }
    return "error: unknown command";
  }

private:
  // `vidorel ctl`: the hot key's own handler, or the menu item's command.
  void runCtl(const std::string& word, SingleInstance::Reply reply) {
    std::optional<CtlAction> action = parseCtlAction(word);
    if (!action) {
      reply("error: unknown action");
      return;
    }
    loop_.post([this, a = *action, reply = std::move(reply)] {
      std::string before = ctlStatusLine();
      bool endsTake = ctlActionEndsTake(a, manager_.state());
      if (std::optional<ShortcutAction> hotKey = hotKeyAction(a))
        handlerTap_.run(*hotKey);
      else if (a == CtlAction::newSession)
        choose(MenuCommand::newSession, -1);
      auto probe = [this, endsTake] {
        AppState state = manager_.state();
        bool starting =
            manager_.startInProgress() && !countdown_.isRunning() && state == AppState::idle;
        bool finishing = endsTake && (state == AppState::recording || state == AppState::paused);
        return CtlProgress{ctlStatusLine(), starting || finishing};
      };
      replyWhenSettled(loop_, before, probe, reply);
    });
  }

  // What the open settings window shows: "notice" for the paragraph above
  // the rows, else the row of the action with this raw value as
  // "field|note" ("-" for a hidden note).
  std::string describeSettingsRow(const std::string& what) {
    auto* view = dynamic_cast<SettingsView*>(windows_.window("settings"));
    if (!view || !view->isVisible())
      return "none";
    if (what == "notice")
      return view->notice()->isVisible() ? view->notice()->text().toStdString() : "-";
    std::optional<ShortcutAction> action = shortcutActionFromRawValue(what);
    if (!action)
      return "error: unknown action";
    QLabel* note = view->note(*action);
    return view->recorder(*action)->text().toStdString() + "|" +
           (note->isVisible() ? note->text().toStdString() : "-");
  }

  GlobalShortcuts& hotKeyBackend() {
    if (portalKeys_ && portalKeys_->available())
      return *portalKeys_;
    return hotKeys_;
  }

  StatusPanel& statusBadge() {
    if (isWaylandSession())
      return hiddenStatusPanel_;
    return statusPanel_;
  }

  std::string ctlStatusLine() const {
    CtlStatus status;
    status.state = manager_.state();
    status.hasSession = manager_.currentSession().has_value();
    status.countingDown = countdown_.isRunning();
    status.sceneNumber = sceneNumber(manager_);
    status.takeNumber = manager_.currentTakeNumber();
    return formatCtlStatus(status);
  }

  TrayMenu::Hooks trayHooks() {
    TrayMenu::Hooks hooks;
    hooks.entries = [this] { return currentMenu(); };
    hooks.choose = [this](const MenuEntry& entry) { choose(entry.command, entry.recoveredIndex); };
    hooks.willOpen = [this] {
      // The glue goes in every time the menu shows, whatever replaced it.
      installWindowGlue();
      manager_.menuWillOpen();
    };
    hooks.didClose = [this] { manager_.menuDidClose(); };
    return hooks;
  }

  // On Wayland the desktop owns the global keys: through its portal, or
  // bound to `vidorel ctl` commands in its keyboard settings.
  DesktopShortcutsView desktopShortcutsView() {
    DesktopShortcutsView view;
    view.desktop = portalKeys_.get();
    const char* path = std::getenv("PATH");
    view.ctlProgram =
        ctlProgramName(QCoreApplication::applicationFilePath().toStdString(), path ? path : "");
    return view;
  }

  const HotKeyRegistrations* hotKeyRegistrations() const {
#ifdef VIDOREL_HAVE_X11_HOT_KEYS
    return &hotKeys_;
#else
    return nullptr;
#endif
  }

  void installWindowGlue() {
    manager_.openWindow = [this](const std::string& id) { openShellWindow(windows_, id); };
    manager_.dismissWindow = [this](const std::string& id) { dismissShellWindow(windows_, id); };
  }

  std::vector<MenuEntry> currentMenu() const {
    MenuInput input;
    input.state = manager_.state();
    input.currentSession = manager_.currentSession() ? &*manager_.currentSession() : nullptr;
    input.currentTakeNumber = manager_.currentTakeNumber();
    input.recoverableSessions = &manager_.recoverableSessions();
    input.shortcutBindings = &manager_.shortcutBindings();
    return buildMenu(input);
  }

  StatusContent currentStatus() const {
    return statusContent(manager_.state(), sceneNumber(manager_), manager_.currentTakeNumber());
  }

  void choose(MenuCommand command, int recoveredIndex) {
    switch (command) {
    case MenuCommand::none:
      return;
    case MenuCommand::openReviewWindow:
      if (manager_.openWindow)
        manager_.openWindow("review");
      return;
    case MenuCommand::newSession:
      spawn(manager_.newSession());
      return;
    case MenuCommand::startTake:
      spawn(manager_.startTake());
      return;
    case MenuCommand::openSession:
      manager_.openSession();
      return;
    case MenuCommand::nextScene:
      manager_.nextScene();
      return;
    case MenuCommand::openRecoveredSession: {
      const std::vector<Session>& recovered = manager_.recoverableSessions();
      if (recoveredIndex >= 0 && recoveredIndex < static_cast<int>(recovered.size())) {
        Session chosen = recovered[recoveredIndex];
        manager_.openRecoveredSession(chosen);
      }
      return;
    }
    case MenuCommand::discardRecoveredSessions:
      manager_.discardRecoveredSessions();
      return;
    case MenuCommand::saveSession:
      manager_.saveSession();
      return;
    case MenuCommand::saveSessionAs:
      manager_.saveSessionAs();
      return;
    case MenuCommand::closeRecording:
      spawn(manager_.closeRecording());
      return;
    case MenuCommand::exportFinalVideo:
      if (manager_.openWindow)
        manager_.openWindow("export");
      return;
    case MenuCommand::pauseRecording:
      manager_.pauseRecording();
      return;
    case MenuCommand::resumeRecording:
      manager_.resumeRecording();
      return;
    case MenuCommand::endTake:
      spawn(manager_.endTake());
      return;
    case MenuCommand::endTakeAndNextScene:
      spawn(manager_.endTakeAndNextScene());
      return;
    case MenuCommand::openSettings:
      if (manager_.openWindow)
        manager_.openWindow("settings");
      return;
    case MenuCommand::checkForUpdates:
      manager_.checkForUpdates();
      return;
    case MenuCommand::quit:
      // Nothing to save: every change was written when it was made.
      QApplication::quit();
      return;
    }
  }

  QtMainLoop loop_;
  Logger logger_;
  bool logging_ = addLogSinks(logger_);
  FfmpegDurationProbe probe_;
  std::unique_ptr<CaptureBackend> backend_;
  ScreenRecorder recorder_;
  ScreenRecorderAdapter recorderAdapter_;
  SessionStore store_;
  CountdownWindow countdownWindow_;
  LocalEscapeMonitor localEscape_;
  X11EscapeGrab escapeGrab_;
  CountdownOverlay overlay_;
  ShellCountdown countdown_;
  ShellStatusPanel statusPanel_;
  HiddenStatusPanel hiddenStatusPanel_;
#ifdef VIDOREL_HAVE_X11_HOT_KEYS
  X11HotKeys hotKeys_{logger_};
#else
  NoGlobalShortcuts hotKeys_;
#endif
  // On Wayland the desktop's GlobalShortcuts portal, where it has one.
  std::unique_ptr<PortalGlobalShortcuts> portalKeys_ =
      isWaylandSession() ? std::make_unique<PortalGlobalShortcuts>(logger_) : nullptr;
  ShortcutHandlerTap handlerTap_{hotKeyBackend()};
  CountdownAwareShortcuts shortcuts_{handlerTap_};
#ifdef VIDOREL_HAVE_XKB_LAYOUT
  XkbKeyboardLayout keyboardLayout_;
  // Windows showing key names draw them again in the new layout.
  KeyboardLayoutWatcher layoutWatcher_{keyboardLayout_, [] {
                                         for (QWidget* window : QApplication::topLevelWidgets())
                                           window->update();
                                       }};
#else
  // Keys without a fixed name show as "?" until the X keymap is read.
  TableKeyboardLayout keyboardLayout_;
#endif
  JsonDefaultsStore defaults_;
  Preferences preferences_;
  QtAlertPresenter alerts_;
  QtFilePanels panels_{loop_};
  QtWindowHost windows_;
  std::unique_ptr<PermissionProbes> probes_;
  PermissionsCoordinator permissions_;
  FfmpegSessionExporter exporter_;
  ExportCoordinator exportFlow_;
  FeedUpdater updater_;
  AppStateManager manager_;
  TrayMenu tray_;
};

} // namespace

int runDesktopApp(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vidorel"));
  QApplication::setQuitOnLastWindowClosed(false);

  std::filesystem::path socket = controlSocketPath();
  SingleInstance instance(socket);
  std::unique_ptr<DesktopApp> desktop;
  bool primary =
      instance.becomePrimary([&desktop](const std::string& line, SingleInstance::Reply reply) {
        if (!desktop) {
          reply("error: starting");
          return;
        }
        desktop->control(line, std::move(reply));
      });
  if (!primary) {
    // The running instance shows its menu; this start has nothing to add.
    std::optional<std::string> reply = SingleInstance::send(socket, kShowMenuCommand);
    if (!reply) {
      std::fprintf(stderr, "vidorel: another instance holds %s but does not answer\n",
                   socket.c_str());
      return 1;
    }
    return 0;
  }
  desktop = std::make_unique<DesktopApp>();
  int status = app.exec();
  desktop.reset();
  return status;
}

} // namespace vidorel

#else

namespace vidorel {

// Until the coordinator is built, starting without a command explains the
// command line instead.
int runDesktopApp(int, char** argv) {
  std::fprintf(stderr,
               "vidorel: the desktop app is not available in this build yet; see %s --help\n",
               argv[0]);
  return 64;
}

} // namespace vidorel

#endif
