#include "export/export_coordinator.h"

#include "base/virtual_main_loop.h"
#include "fakes/fake_defaults_store.h"
#include "fakes/fake_session_exporter.h"
#include "fakes/fake_workflow.h"
#include "fakes/session_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::takeOf;

// Sets the process's time zone for one test and puts the old one back.
class TimeZone {
public:
  explicit TimeZone(const char* zone) : old_(std::getenv("TZ") ? std::getenv("TZ") : "") {
    set(zone);
  }
  ~TimeZone() { set(old_.empty() ? nullptr : old_.c_str()); }

private:
  static void set(const char* zone) {
    zone ? ::setenv("TZ", zone, 1) : ::unsetenv("TZ");
    ::tzset();
  }
  std::string old_;
};

// 2026-03-01 22:30:00 UTC.
std::chrono::system_clock::time_point lateOnFirstOfMarch() {
  return std::chrono::sys_days{std::chrono::year{2026} / 3 / 1} + 22h + 30min;
}

RecordingScene sceneWith(std::vector<Take> takes, std::optional<size_t> selected) {
  RecordingScene scene = RecordingScene::make();
  scene.takes = std::move(takes);
  if (selected)
    scene.selectedTakeID = scene.takes.at(*selected).id;
  return scene;
}

// Three scenes; the second has takes but none selected.
Session threeScenes() {
  Session session(fs::path("/scratch/1234"));
  session.bundleURL = fs::path("/home/ann/Talk.vidorel");
  session.scenes = {
      sceneWith(
          {takeOf("scene-1-take-1.mov", 10, 0, 4), takeOf("scene-1-take-2.mov", 10, 1.0, 3.5)}, 1),
      sceneWith({takeOf("scene-2-take-1.mov", 10, 0, 2)}, std::nullopt),
      sceneWith({takeOf("scene-3-take-1.mov", 10, 0, 2.0)}, 0)};
  return session;
}

class ExportCoordinatorTest : public ::testing::Test {
protected:
  ExportCoordinatorTest() {
    logger_.addSink(log_);
    coordinator_ = std::make_unique<ExportCoordinator>(
        ExportCoordinatorDependencies{loop_, logger_, exporter_, preferences_, panels_, alerts_,
                                      activation_, [] { return lateOnFirstOfMarch(); }});
  }

  void start(Session session) {
    spawn(coordinator_->exportSession(std::move(session)));
    loop_.runUntilIdle();
  }
  void answerPanel(std::optional<fs::path> path) {
    panels_.answer(std::move(path));
    loop_.runUntilIdle();
  }
  void finishExport(std::optional<ExportFailure> result) {
    exporter_.finish(std::move(result));
    loop_.runUntilIdle();
  }
  std::vector<std::string> exportLog() const { return log_->messages(LogCategory::export_); }

  TimeZone utc_{"UTC0"};
  VirtualMainLoop loop_;
  Logger logger_;
  std::shared_ptr<RecordingLogSink> log_ = std::make_shared<RecordingLogSink>();
  FakeSessionExporter exporter_{loop_};
  FakeDefaultsStore defaults_;
  Preferences preferences_{defaults_};
  CallLog calls_;
  FakeFilePanels panels_{calls_};
  FakeAlerts alerts_{calls_};
  FakeActivation activation_{calls_};
  std::unique_ptr<ExportCoordinator> coordinator_;
};

TEST_F(ExportCoordinatorTest, SuggestedNameCarriesTheLocalDate) {
  EXPECT_EQ(suggestedExportName(lateOnFirstOfMarch()), "Vidorel-2026-03-01.mov");
  {
    // 22:30 UTC is already the next day two hours east of Greenwich...
    TimeZone east("EET-2");
    EXPECT_EQ(suggestedExportName(lateOnFirstOfMarch()), "Vidorel-2026-03-02.mov");
  }
  // ... and the new year arrives locally before it does in UTC.
  TimeZone west("PST8");
  auto newYear = std::chrono::sys_days{std::chrono::year{2027} / 1 / 1} + 5h;
  EXPECT_EQ(suggestedExportName(newYear), "Vidorel-2026-12-31.mov");
}

TEST_F(ExportCoordinatorTest, ConfirmedPanelJoinsTheSelectedTakesInSceneOrderIfThereAreAny) {
  start(threeScenes());

  // The panel comes to the front, offers today's name and has no folder
  // yet.
  EXPECT_EQ(calls_.calls, (std::vector<std::string>{"policy regular", "activate", "panel.save"}));
  ASSERT_TRUE(panels_.saveOptions);
  EXPECT_EQ(panels_.saveOptions->proposedName, "Vidorel-2026-03-01.mov");
  EXPECT_EQ(panels_.saveOptions->directory, std::nullopt);
  EXPECT_TRUE(exporter_.calls.empty());

  answerPanel(fs::path("/home/ann/Movies/final.mov"));
  ASSERT_EQ(exporter_.calls.size(), 1u);
  const FakeSessionExporter::Call& call = exporter_.calls[0];
  // Scene 1's selected second take, then scene 3's; scene 2 is skipped.
  ASSERT_EQ(call.takes.size(), 2u);
  EXPECT_EQ(call.takes[0].filename, "scene-1-take-2.mov");
  EXPECT_EQ(call.takes[0].trimStart, 1.0);
  EXPECT_EQ(call.takes[0].trimEnd, 3.5);
  EXPECT_EQ(call.takes[1].filename, "scene-3-take-1.mov");
  EXPECT_EQ(call.takesDirectory, fs::path("/home/ann/Talk.vidorel/takes"));
  EXPECT_EQ(call.destination, fs::path("/home/ann/Movies/final.mov"));
  // A chapter per scene that goes in; loudness evened out unless turned off.
  EXPECT_EQ(call.options, (ExportOptions{{"Scene 1", "Scene 3"}, true}));
  EXPECT_EQ(preferences_.lastExportDirectory(), fs::path("/home/ann/Movies"));

  finishExport(std::nullopt);
  EXPECT_EQ(exportLog(),
            (std::vector<std::string>{"export start → /home/ann/Movies/final.mov", "export ok"}));
  EXPECT_TRUE(alerts_.shown.empty());

  // The next panel opens in the folder just used.
  start(threeScenes());
  ASSERT_EQ(calls_.count("panel.save"), 2);
  EXPECT_EQ(panels_.saveOptions->directory, fs::path("/home/ann/Movies"));
  EXPECT_EQ(panels_.saveOptions->proposedName, "Vidorel-2026-03-01.mov");
  // A cancelled panel does nothing and keeps the folder; every export the
  // test starts also ends: a flow left waiting would leak.
  answerPanel(std::nullopt);
  EXPECT_EQ(exporter_.calls.size(), 1u);
  EXPECT_EQ(exportLog().size(), 2u);
  EXPECT_TRUE(alerts_.shown.empty());
  EXPECT_EQ(preferences_.lastExportDirectory(), fs::path("/home/ann/Movies"));

  // Without a selected take (a selection naming a deleted take selects
  // nothing either), "Nothing to export" comes after the panel, whose
  // folder is kept all the same.
  Session none = threeScenes();
  for (RecordingScene& scene : none.scenes)
    scene.selectedTakeID.reset();
  none.scenes[0].selectedTakeID = Uuid::random();
  start(none);
  EXPECT_TRUE(alerts_.shown.empty());
  answerPanel(fs::path("/home/ann/Desktop/final.mov"));
  EXPECT_EQ(exporter_.calls.size(), 1u);
  ASSERT_EQ(alerts_.shown.size(), 1u);
  EXPECT_EQ(alerts_.shown[0].message, "Nothing to export");
  EXPECT_EQ(alerts_.shown[0].informativeText, "No scenes have a selected take.");
  EXPECT_EQ(exportLog().size(), 2u);
  EXPECT_EQ(preferences_.lastExportDirectory(), fs::path("/home/ann/Desktop"));
}

TEST_F(ExportCoordinatorTest, ExportsRunIndependentlyAndFailuresAreLoggedAndShown) {
  start(threeScenes());
  answerPanel(fs::path("/home/ann/Movies/one.mov"));
  Session other = threeScenes();
  other.bundleURL = fs::path("/home/ann/Other.vidorel");
  start(other);
  // A name typed without an extension becomes a movie.
  answerPanel(fs::path("/home/ann/Desktop/two"));
  start(threeScenes());
  answerPanel(fs::path("/home/ann/Movies/three.mov"));
  ASSERT_EQ(exporter_.runningCount(), 3u);
  EXPECT_EQ(exporter_.calls[1].destination, fs::path("/home/ann/Desktop/two.mov"));
  EXPECT_EQ(exporter_.calls[1].takesDirectory, fs::path("/home/ann/Other.vidorel/takes"));

  // The first two fail while the third goes on and succeeds.
  finishExport(ExportFailure::platform("/t/takes/scene-9-take-1.mov: No such file or directory"));
  finishExport(ExportFailure::own(ExportError::destinationInsideSession));
  EXPECT_EQ(exporter_.runningCount(), 1u);
  finishExport(std::nullopt);
  ASSERT_EQ(alerts_.shown.size(), 2u);
  EXPECT_EQ(alerts_.shown[0].message, "Export failed");
  EXPECT_EQ(alerts_.shown[0].informativeText,
            "/t/takes/scene-9-take-1.mov: No such file or directory");
  EXPECT_EQ(alerts_.shown[1].informativeText,
            "The movie cannot be saved inside the session’s folder");
  EXPECT_EQ(exportLog(),
            (std::vector<std::string>{
                "export start → /home/ann/Movies/one.mov",
                "export start → /home/ann/Desktop/two.mov",
                "export start → /home/ann/Movies/three.mov",
                "export failed: /t/takes/scene-9-take-1.mov: No such file or directory",
                "export failed: ExportError.destinationInsideSession: The movie "
                "cannot be saved inside the session’s folder",
                "export ok",
            }));
  for (const RecordingLogSink::Line& line : log_->lines())
    EXPECT_EQ(line.level,
              line.message.starts_with("export failed") ? LogLevel::error : LogLevel::info)
        << line.message;
}

} // namespace
} // namespace vidorel
