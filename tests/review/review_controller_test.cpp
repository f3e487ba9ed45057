#include "../workflow/workflow_fixture.h"

#include "fakes/fake_player.h"
#include "review/review_controller.h"

#include <fstream>

namespace vidorel::testing {
namespace {

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
  // The first take of 10 s approved, given this range, and shown in a
  // window opened again.
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
  EXPECT_EQ(playersMade, 0);
  EXPECT_FALSE(review->handleSpace());
  // Only closing and new takes act out of review.
  for (ReviewButton button : {ReviewButton::deleteAndRetake, ReviewButton::approve})
    EXPECT_FALSE(enabled(button));
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
  settle();

  // In idle closing only stops playback.
  spawn(manager->endTake());
  settle(10);
  manager->approvePendingTake();
  review->windowDidAppear();
  review->windowWillClose(true);
  EXPECT_EQ(manager->state(), AppState::idle);
  EXPECT_FALSE(review->player());
}

} // namespace
} // namespace vidorel::testing
