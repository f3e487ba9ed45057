// The trim bar, the review controller over the real coordinator, the scene tree.

#include "../workflow/workflow_fixture.h"

#include "fakes/fake_player.h"
#include "fakes/fake_scene_tree_commands.h"
#include "fakes/session_builder.h"
#include "review/review_controller.h"
#include "review/scene_tree.h"
#include "review/trim_bar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

namespace vidorel::testing {
namespace {

// The bar of a 10 s take; the range lives in the owner, the bar edits it.
struct TrimBarTest : ::testing::Test {
  static constexpr double width = 424; // track 400

  double trimStart = 2;
  double trimEnd = 8;
  int changes = 0;
  std::shared_ptr<FakePlayer> player = std::make_shared<FakePlayer>();
  TrimBar bar{trimStart, trimEnd, [this] { ++changes; }};

  void SetUp() override {
    player->load("take.mov");
    bar.update(true, 10, player);
  }

  // Presses the handle at its centre and drags it to x in one long move.
  void drag(TrimHandle handle, double x) {
    TrimBarGeometry g = bar.geometry(width);
    double from = handle == TrimHandle::start ? g.startHandleX : g.endHandleX;
    bar.press(handle, from, 20);
    bar.move(x, 20, width);
    bar.release(x, 20, width);
  }
};

TEST_F(TrimBarTest, GeometryOfATenSecondTakeTrimmedToTwoToEight) {
  TrimBarGeometry g = bar.geometry(width);
  EXPECT_DOUBLE_EQ(g.trackWidth, 400);
  EXPECT_DOUBLE_EQ(g.startHandleX, 86);
  EXPECT_DOUBLE_EQ(g.endHandleX, 338);
  EXPECT_DOUBLE_EQ(g.rangeX, 92);
  EXPECT_DOUBLE_EQ(g.rangeWidth, 240);
  EXPECT_TRUE(g.shadeBefore && g.shadeAfter);
  EXPECT_EQ(bar.handleAt(86, 10, width), TrimHandle::start);
  EXPECT_EQ(bar.handleAt(343, 40, width), TrimHandle::end);
  EXPECT_EQ(bar.handleAt(200, 10, width), std::nullopt);
  EXPECT_EQ(bar.handleAt(86, 50, width), std::nullopt) << "the label row is not a handle";

  trimStart = 0;
  trimEnd = 10;
  g = bar.geometry(width);
  EXPECT_FALSE(g.shadeBefore || g.shadeAfter);
  EXPECT_DOUBLE_EQ(g.rangeWidth, 400);
  // An inverted range from outside is drawn as nothing, not a negative width.
  trimStart = 8;
  trimEnd = 2;
  EXPECT_DOUBLE_EQ(bar.geometry(width).rangeWidth, 0);
  // Without a duration the handles sit at the bar's ends.
  bar.update(true, 0, nullptr);
  EXPECT_DOUBLE_EQ(bar.geometry(width).startHandleX, 6);
  EXPECT_DOUBLE_EQ(bar.geometry(width).endHandleX, 418);
}

// A drag follows the pointer and reports once at release; handles stop 0.5 s
// short of each other and at the ends; a tiny move is no drag.
TEST_F(TrimBarTest, DragsFollowThePointerAndReportOnceAtTheEnd) {
  bar.press(TrimHandle::end, 338, 20);
  bar.move(318, 20, width); // x 318 -> f 0.75
  EXPECT_NEAR(trimEnd, 7.5, 1e-9);
  bar.move(218, 20, width); // f 0.5
  EXPECT_NEAR(trimEnd, 5.0, 1e-9);
  EXPECT_EQ(changes, 0) << "nothing is reported while the drag goes on";
  EXPECT_NEAR(player->endTime().value_or(0), 5.0, 1e-9);
  bar.release(218, 20, width);
  EXPECT_EQ(changes, 1);

  drag(TrimHandle::start, 400);
  EXPECT_NEAR(trimStart, 4.5, 1e-9);
  drag(TrimHandle::end, 0);
  EXPECT_NEAR(trimEnd, 5.0, 1e-9);
  drag(TrimHandle::start, -500);
  EXPECT_EQ(trimStart, 0);
  drag(TrimHandle::end, 5000);
  EXPECT_EQ(trimEnd, 10);
  EXPECT_EQ(changes, 5);

  bar.press(TrimHandle::start, 6, 20);
  bar.move(12, 26, width); // about 8.5 points away
  bar.release(12, 26, width);
  // Moving without a press (or after the release) does nothing either.
  bar.move(300, 20, width);
  EXPECT_EQ(trimStart, 0);
  EXPECT_EQ(changes, 5);
}

TEST_F(TrimBarTest, StartHandlePassingThePlayheadSeeksThePlayerThere) {
  player->setTime(3);
  drag(TrimHandle::start, 206); // f 0.5 -> 5 s
  ASSERT_EQ(player->seeks.size(), 1u);
  EXPECT_NEAR(player->seeks[0], 5.0, 1e-9);
  EXPECT_NEAR(bar.playheadFraction(), 0.5, 1e-9) << "the seek's time jump moves the playhead";

  // Dragging it back to the left of the playhead does not seek.
  drag(TrimHandle::start, 46); // f 0.1 -> 1 s
  EXPECT_NEAR(trimStart, 1.0, 1e-9);
  EXPECT_EQ(player->seeks.size(), 1u);
}

// Paused, ticks only move the playhead (clamped to the bar); playing, they
// keep playback inside the range.
TEST_F(TrimBarTest, TicksKeepPlaybackInsideTheRange) {
  player->tick(0.5);
  player->tick(9.0);
  EXPECT_TRUE(player->seeks.empty());
  EXPECT_NEAR(bar.playheadFraction(), 0.9, 1e-9);
  player->tick(12);
  EXPECT_EQ(bar.playheadFraction(), 1);
  player->tick(-1);
  EXPECT_EQ(bar.playheadFraction(), 0);

  player->setPlaying(true);
  player->tick(5.0);
  EXPECT_TRUE(player->seeks.empty());
  EXPECT_NEAR(bar.playheadFraction(), 0.5, 1e-9);

  player->tick(1.95); // within 0.1 s of the start
  EXPECT_TRUE(player->seeks.empty());
  player->tick(1.85);
  player->tick(8.02);
  EXPECT_FALSE(player->isPlaying());
  EXPECT_EQ(player->seeks, (std::vector<double>{2.0, 8.0}));

  // An end at the movie's natural end never pauses.
  for (double end : {10.0, 9.995}) {
    trimEnd = end;
    bar.update(true, 10, player);
    player->setPlaying(true);
    player->tick(9.999);
    EXPECT_TRUE(player->isPlaying()) << "end " << end;
  }
}

// One observer, on the current player, only while a duration shows; an end
// set from outside moves the player's end time.
TEST_F(TrimBarTest, TheObserverFollowsThePlayerAndTheEnd) {
  EXPECT_EQ(player->observerCount(), 1u);
  trimEnd = 6;
  bar.update(true, 10, player);
  EXPECT_EQ(player->observerCount(), 1u) << "reinstalled, not added";
  EXPECT_EQ(player->endTime(), 6);
  player->setPlaying(true);
  player->tick(6.01);
  EXPECT_FALSE(player->isPlaying());

  auto other = std::make_shared<FakePlayer>();
  other->load("other.mov");
  bar.update(true, 10, other);
  EXPECT_EQ(player->observerCount(), 0u) << "nothing left on the old player";
  EXPECT_EQ(other->observerCount(), 1u);
  bar.update(true, 12, nullptr);
  EXPECT_EQ(other->observerCount(), 0u);
  bar.update(false, 12, other);
  EXPECT_EQ(other->observerCount(), 0u) << "a hidden bar observes nothing";
  bar.update(true, 0, other);
  EXPECT_EQ(other->observerCount(), 0u) << "no duration, no observer";
  // A bar destroyed while it observes leaves nothing behind.
  {
    double s = 0;
    double e = 4;
    TrimBar scoped(s, e, {});
    scoped.update(true, 4, other);
    EXPECT_EQ(other->observerCount(), 1u);
  }
  EXPECT_EQ(other->observerCount(), 0u);
}

TEST(TimeLabelTest, MinutesSecondsAndTruncatedTenths) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // 2.3 and 0.7: decimal values that binary doubles hold a hair below.
  std::vector<std::string> labels;
  for (double t : {75.38, 0.04, -3.0, 3600.0, 59.99, 2.3, 0.7, nan, inf})
    labels.push_back(timeLabel(t));
  EXPECT_EQ(labels, (std::vector<std::string>{"1:15.3", "0:00.0", "0:00.0", "60:00.0", "0:59.9",
                                              "0:02.3", "0:00.7", "0:00.0", "0:00.0"}));
  // A range's labels read start, length, end.
  double start = 1.25;
  double end = 62.5;
  TrimBar bar(start, end, {});
  bar.update(true, 70, nullptr);
  EXPECT_EQ(bar.labels().start, "0:01.2");
  EXPECT_EQ(bar.labels().length, "1:01.2");
  EXPECT_EQ(bar.labels().end, "1:02.5");
}

class ReviewControllerTest : public WorkflowTest {
protected:
  void makeController() {
    review = std::make_unique<ReviewController>(ReviewControllerDependencies{
        *manager, activation,
        [this] {
          ++playersMade;
          player = std::make_shared<FakePlayer>();
          return player;
        },
        [this](const std::filesystem::path&, std::function<void(std::optional<double>)> done) {
          probeAnswers.push_back(std::move(done));
        },
        [this](const std::string& id) { calls.add("dismiss " + id); }});
  }
  // The first take has ended and waits for a decision in the window.
  void reviewFirstTake() {
    start();
    recordFirstTake();
    spawn(manager->endTake());
    settle(10);
    ASSERT_EQ(manager->state(), AppState::reviewing);
    makeController();
    review->windowDidAppear();
  }
  // The first 10 s take approved with this range, shown in a reopened window.
  Take reopenOnStoredRange(double start, double end) {
    recorder.duration = 10.0;
    reviewFirstTake();
    review->press(ReviewButton::approve);
    Take take = session().scenes[0].takes[0];
    manager->setTrim(take.id, start, end);
    makeController();
    review->windowDidAppear();
    return take;
  }
  bool enabled(ReviewButton button) const { return review->isEnabled(button); }

  std::unique_ptr<ReviewController> review;
  std::shared_ptr<FakePlayer> player;
  int playersMade = 0;
  std::vector<std::function<void(std::optional<double>)>> probeAnswers;
};

TEST_F(ReviewControllerTest, NoSessionShowsThePlaceholder) {
  start();
  makeController();
  review->windowDidAppear();
  EXPECT_FALSE(review->player());
  EXPECT_FALSE(review->showsTrimBar());
  EXPECT_FALSE(review->handleSpace());
  // Only closing and new takes act out of review.
  EXPECT_FALSE(enabled(ReviewButton::deleteAndRetake) || enabled(ReviewButton::approve));
  EXPECT_TRUE(enabled(ReviewButton::newTake) && enabled(ReviewButton::closeRecording));
}

TEST_F(ReviewControllerTest, PendingTakePlaysWholeAndTheProbeStretchesItsEnd) {
  recorder.duration = 12.0;
  reviewFirstTake();
  ASSERT_TRUE(player);
  EXPECT_EQ(player->loaded, std::vector<std::filesystem::path>{takes() / "scene-1-take-1.mov"});
  EXPECT_EQ(review->takeDuration(), 12.0);
  EXPECT_EQ(review->trimEnd(), 12.0);
  EXPECT_EQ(player->endTime(), std::nullopt);
  ASSERT_EQ(probeAnswers.size(), 1u);

  // Within 0.01 s of what is known: nothing changes; 12.3: the end follows.
  probeAnswers[0](12.005);
  EXPECT_EQ(review->takeDuration(), 12.0);
  probeAnswers[0](12.3);
  EXPECT_EQ(review->takeDuration(), 12.3);
  EXPECT_EQ(review->trimEnd(), 12.3);
  EXPECT_EQ(review->trimStart(), 0.0);
  probeAnswers[0](std::nullopt); // a failed probe is ignored
  EXPECT_EQ(review->takeDuration(), 12.3);

  // The start handle dragged in before approval: the range goes with the
  // take, its end cut to the stored duration (the probe read more).
  double x = review->trimBar().geometry(424).startHandleX;
  review->trimBar().press(TrimHandle::start, x, 20);
  review->trimBar().move(x + 60, 20, 424);
  review->trimBar().release(x + 60, 20, 424);
  double start = review->trimStart();
  EXPECT_GT(start, 1.5);
  ASSERT_TRUE(manager->pendingTrim());
  EXPECT_TRUE(enabled(ReviewButton::approve));
  EXPECT_FALSE(enabled(ReviewButton::newTake));
  review->press(ReviewButton::approve);
  EXPECT_EQ(manager->state(), AppState::idle);
  ASSERT_EQ(session().scenes[0].takes.size(), 1u);
  EXPECT_EQ(session().scenes[0].takes[0].trimStart, start);
  EXPECT_EQ(session().scenes[0].takes[0].trimEnd, 12.0);
  EXPECT_FALSE(calls.contains("dismiss review"));
  // The approved take stays on screen, now with the buttons of idle.
  EXPECT_EQ(review->loadedFilename(), "scene-1-take-1.mov");
  EXPECT_TRUE(enabled(ReviewButton::newTake));
  EXPECT_FALSE(enabled(ReviewButton::approveAndNewTake));
  EXPECT_EQ(playersMade, 1);
}

TEST_F(ReviewControllerTest, StoredTrimsSeekStopAndSpaceStartsTheRangeOver) {
  // The window opened again shows the approved take with its range.
  const Take take = reopenOnStoredRange(2.0, 8.0);
  ASSERT_EQ(player->seeks, std::vector<double>{2.0});
  // Clicking the take already shown does not reload it.
  size_t loads = player->loaded.size();
  review->selectTakeForPreview(take.id, session().takeFile(take));
  EXPECT_EQ(player->loaded.size(), loads);
  EXPECT_EQ(player->endTime(), 8.0);

  // At the end of the range Space starts it over.
  player->setTime(7.97);
  EXPECT_TRUE(review->handleSpace());
  EXPECT_TRUE(player->isPlaying());
  EXPECT_TRUE(review->handleSpace());
  EXPECT_FALSE(player->isPlaying());
  player->setTime(5.0);
  EXPECT_TRUE(review->handleSpace());
  EXPECT_EQ(player->seeks, (std::vector<double>{2.0, 2.0})) << "a seek from the end only";
  EXPECT_TRUE(player->isPlaying());
  // Space belongs to a name being edited.
  review->setRenamingScene(true);
  EXPECT_FALSE(review->handleSpace());
  EXPECT_TRUE(player->isPlaying());
}

TEST_F(ReviewControllerTest, TinyStartIsNotSeekedAndAnEndAtTheEndPlaysThrough) {
  reopenOnStoredRange(0.005, 9.995);
  EXPECT_EQ(review->trimStart(), 0.005);
  EXPECT_TRUE(player->seeks.empty());
  EXPECT_EQ(player->endTime(), std::nullopt);
}

// Three scenes with a take selected each, and an empty fourth.
TEST_F(ReviewControllerTest, TheCutPlaysOnThroughTheSelectedTakes) {
  start();
  openSessionWithoutTake();
  std::filesystem::create_directories(takes());
  manager->updateSession([this](Session& session) {
    for (int i = 0; i < 3; ++i) {
      Take take = Take::make(Uuid::random(), "scene-" + std::to_string(i + 1) + "-take-1.mov", 3.0,
                             Timestamp{});
      std::ofstream(takes() / take.filename) << std::string(2000, 'x');
      session.scenes.back().takes.push_back(take);
      session.scenes.back().selectedTakeID = take.id;
      session.scenes.push_back(RecordingScene::make());
    }
  });
  makeController();
  review->windowDidAppear();
  std::vector<Take> selected = session().selectedTakes();
  ASSERT_EQ(selected.size(), 3u);

  review->selectTakeForPreview(selected[1].id, session().takeFile(selected[1]));
  player->play();
  player->playToEnd();
  EXPECT_EQ(review->previewingTakeID(), selected[2].id);
  EXPECT_EQ(player->loaded.back().filename(), selected[2].filename);
  EXPECT_TRUE(player->isPlaying());
  size_t loads = player->loaded.size();
  player->playToEnd(); // the last one: nothing more
  EXPECT_EQ(player->loaded.size(), loads);

  // A take that is not selected stops at its own end.
  Uuid scene = session().scenes[0].id;
  manager->selectTake(scene, std::nullopt);
  review->selectTakeForPreview(selected[0].id, session().takeFile(selected[0]));
  loads = player->loaded.size();
  player->playToEnd();
  EXPECT_EQ(player->loaded.size(), loads);
}

TEST_F(ReviewControllerTest, ClosingByHandWhileReviewingRetakes) {
  reviewFirstTake();
  std::filesystem::path pending = *manager->currentTakeURL();
  std::weak_ptr<FakePlayer> watched = player;
  player.reset();
  calls.clear();
  review->windowWillClose(true);
  EXPECT_TRUE(watched.expired()); // the window's player is gone
  EXPECT_TRUE(calls.contains("policy accessory"));
  // The coordinator's own rule for a window closed by hand.
  EXPECT_FALSE(std::filesystem::exists(pending));
}

// The rows as the tree shows them, one line per scene and per take.
std::string describe(const std::vector<SceneRowModel>& rows) {
  std::string text;
  for (const SceneRowModel& row : rows) {
    text += row.label + (row.isCurrent ? " current" : "") + (row.isSkipped ? " skipped" : "") +
            (row.canDelete ? " deletable" : "") + "\n";
    for (const TakeRowModel& take : row.takes) {
      EXPECT_EQ(take.sceneID, row.id);
      text += "  " + std::to_string(take.displayIndex) + " " + take.label + " " + take.length +
              " " + take.selectionSymbol() + (take.isPreviewing ? " previewing" : "") + "\n";
    }
  }
  return text;
}

std::vector<std::string> titles(const std::vector<SceneTreeMenuItem>& items) {
  std::vector<std::string> result;
  for (const SceneTreeMenuItem& item : items)
    result.push_back(item.title);
  return result;
}

// A scene with takes but no (or a stale) selection is skipped, an empty one
// is not; only two or more scenes offer deletion.
TEST(SceneTreeRows, LabelsBadgesSelectionLengthsAndDeletion) {
  SessionBuilder builder;
  int first = builder.scene();
  int second = builder.scene("Demo");
  builder.scene();
  Uuid a = builder.take(first, 2.4, 65.9);
  builder.select(first, builder.take(first, 0, 3, "Best")).current(1);
  builder.select(second, Uuid::random());
  builder.take(second, 0, 10);
  std::vector<SceneRowModel> rows = sceneTreeRows(builder.build(), a);
  EXPECT_EQ(describe(rows), "Scene 1 deletable\n"
                            "  1 Take 1 1:03 circle previewing\n"
                            "  2 Best 0:03 checkmark.circle.fill\n"
                            "Demo current skipped deletable\n"
                            "  1 Take 1 0:10 circle\n"
                            "Scene 3 deletable\n");
  EXPECT_EQ(titles(sceneContextMenu(rows[0])),
            (std::vector<std::string>{"Duplicate Scene", "Rename Scene", "Delete Scene"}));
  EXPECT_EQ(titles(takeContextMenu()), (std::vector<std::string>{"Rename Take", "Delete Take"}));

  SessionBuilder one;
  one.scene();
  rows = sceneTreeRows(one.build(), std::nullopt);
  EXPECT_EQ(describe(rows), "Scene 1 current\n");
  EXPECT_EQ(titles(sceneContextMenu(rows[0])),
            (std::vector<std::string>{"Duplicate Scene", "Rename Scene"}));
}

TEST(SceneTreePayloads, RoundTripAndForeignText) {
  Uuid scene = Uuid::random();
  Uuid take = Uuid::random();
  EXPECT_EQ(parseDragPayload(scenePayload(scene)), DragPayload(DraggedScene{scene}));
  EXPECT_EQ(parseDragPayload(takePayload(take, scene)), DragPayload(DraggedTake{take, scene}));

  for (std::string foreign :
       {std::string("file:///home/me/movie.mov"), scene.string() + "|", "|" + scene.string(),
        take.string() + "|" + scene.string() + "|" + scene.string(), take.string() + "|nope",
        " " + scene.string()})
    EXPECT_FALSE(parseDragPayload(foreign)) << foreign;
}

// (Escape through the widget: the windows wiring test.)
TEST(NameEditorRules, ReturnCommitsOnceEscapeNever) {
  NameEditor editor;
  editor.start(std::nullopt);
  EXPECT_EQ(editor.end(NameEditor::End::returnKey, "Intro"), "Intro");
  // The focus leaving the closing editor reports the end once more.
  EXPECT_EQ(editor.end(NameEditor::End::focusLost, "Intro"), std::nullopt);
  editor.start(std::string("Intro"));
  EXPECT_EQ(editor.end(NameEditor::End::cancelMovement, "Other"), std::nullopt);
  EXPECT_EQ(editor.end(NameEditor::End::focusLost, ""), "");
}

class SceneTreeTest : public ::testing::Test {
protected:
  SceneTreeTest() : tree(commands) {
    int first = builder.scene();
    builder.scene();
    int third = builder.scene();
    t1 = builder.take(first, 0, 5);
    t2 = builder.take(first, 0, 6);
    t3 = builder.take(first, 0, 7, "Last");
    builder.select(first, t1);
    session = builder.build();
    session.bundleURL = "/recordings/Talk.vidorel";
    s1 = session.scenes[0].id;
    s2 = session.scenes[1].id;
    s3 = session.scenes[third].id;
    commands.published = [this] { tree.setSession(session); };
    tree.setSession(session);
    tree.onSelectTakeForPreview = [this](const Uuid& id, const std::filesystem::path& file) {
      previews.push_back(id.string() + " " + file.string());
    };
    tree.onRenamingChanged = [this](bool on) { renamingChanges.push_back(on); };
  }

  SessionBuilder builder;
  Session session;
  FakeSceneTreeCommands commands;
  SceneTree tree;
  Uuid s1, s2, s3, t1, t2, t3;
  std::vector<std::string> previews;
  std::vector<bool> renamingChanges;
};

// A scene click previews its last take (an empty one keeps the preview), a
// take click itself; the selection button toggles.
TEST_F(SceneTreeTest, ClicksSelectAndPreview) {
  tree.clickScene(s1);
  tree.clickScene(s2);
  tree.clickTake(s1, t2);
  tree.toggleTakeSelection(s1, t1);
  tree.toggleTakeSelection(s1, t2);
  EXPECT_EQ(commands.calls, (std::vector<std::string>{
                                "selectScene " + s1.string(), "selectScene " + s2.string(),
                                "selectScene " + s1.string(), "selectTake " + s1.string() + " none",
                                "selectTake " + s1.string() + " " + t2.string()}));
  EXPECT_EQ(previews, (std::vector<std::string>{
                          t3.string() + " /recordings/Talk.vidorel/takes/scene-1-take-3.mov",
                          t2.string() + " /recordings/Talk.vidorel/takes/scene-1-take-2.mov"}));
  EXPECT_TRUE(tree.take(t2)->isPreviewing);
  EXPECT_FALSE(tree.take(t3)->isPreviewing);
}

// The editor opens on the current name; deleting the item closes it.
TEST_F(SceneTreeTest, RenamingAndMenuCommandsReachTheCoordinator) {
  tree.startRenaming({s3, std::nullopt});
  EXPECT_EQ(tree.editor().text(), "");
  tree.endRenaming(NameEditor::End::returnKey, "Finale");
  tree.runMenuCommand(SceneTreeMenuCommand::renameTake, s1, t3);
  EXPECT_EQ(tree.editor().text(), "Last");
  tree.endRenaming(NameEditor::End::focusLost, "");
  EXPECT_EQ(renamingChanges, (std::vector<bool>{true, false, true, false}));
  tree.runMenuCommand(SceneTreeMenuCommand::deleteScene, s2);
  tree.runMenuCommand(SceneTreeMenuCommand::renameScene, s2);
  EXPECT_EQ(tree.renameTarget(), (RenameTarget{s2, std::nullopt}));
  tree.runMenuCommand(SceneTreeMenuCommand::renameTake, s1, t2);
  EXPECT_EQ(tree.renameTarget(), (RenameTarget{s1, t2}));
  tree.runMenuCommand(SceneTreeMenuCommand::deleteTake, s1, t2);
  session.scenes[0].removeTake(t2);
  tree.setSession(session);
  EXPECT_FALSE(tree.isRenaming());
  tree.endRenaming(NameEditor::End::focusLost, "Ghost");
  EXPECT_EQ(commands.calls,
            (std::vector<std::string>{"renameScene " + s3.string() + " 'Finale'",
                                      "renameTake " + s1.string() + " " + t3.string() + " ''",
                                      "deleteScene " + s2.string(), "deleteTake " + t2.string()}));
}

TEST_F(SceneTreeTest, DropsMoveScenesAndTakesButNotOntoThemselves) {
  EXPECT_FALSE(tree.drop(s1, takePayload(t1, s1)));
  EXPECT_FALSE(tree.drop(s2, scenePayload(s2)));
  EXPECT_TRUE(commands.calls.empty());

  EXPECT_TRUE(tree.drop(s3, takePayload(t1, s1)));
  EXPECT_TRUE(tree.drop(s1, scenePayload(s3)));
  EXPECT_EQ(commands.calls,
            (std::vector<std::string>{"moveTake " + t1.string() + " " + s3.string(),
                                      "moveScene " + s3.string() + " " + s1.string()}));
}

// The only scene is never deleted; without a session the tree is empty, inert.
TEST_F(SceneTreeTest, TheOnlySceneIsNeverDeletedAndNoSessionEmptiesTheTree) {
  session.scenes.resize(1);
  tree.setSession(session);
  tree.deleteScene(s1);
  EXPECT_TRUE(commands.calls.empty());
  tree.setSession(std::nullopt);
  EXPECT_TRUE(tree.rows().empty());
  tree.clickScene(s1);
  tree.clickTake(s1, t1);
  EXPECT_TRUE(commands.calls.empty());
  EXPECT_TRUE(previews.empty());
}

} // namespace
} // namespace vidorel::testing
