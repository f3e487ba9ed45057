#include "capture/recorder_adapter.h"

#include "base/virtual_main_loop.h"
#include "fakes/fake_capture_backend.h"
#include "fakes/fake_duration_probe.h"
#include "support/synthetic_media.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vidorel {
namespace {

// Runs a task on the loop, waiting up to five seconds for work of another
// thread (stopping a take).
template <typename T> std::optional<T> finish(VirtualMainLoop& loop, Task<T> task) {
  std::optional<T> result;
  auto wrapper = [](Task<T> task, std::optional<T>& result) -> Task<void> {
    result.emplace(co_await task);
  };
  spawn(wrapper(std::move(task), result));
  for (int waited = 0; !result && waited < 5000; ++waited) {
    loop.runUntilIdle();
    if (!result)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return result;
}

class ScreenRecorderAdapterTest : public ::testing::Test {
protected:
  Logger logger;
  FakeDurationProbe probe;
  std::shared_ptr<FakeCaptureLog> log = std::make_shared<FakeCaptureLog>();
  FakeCaptureBackend backend{log, probe, logger};
  VirtualMainLoop loop;
  ScreenRecorder recorder{loop, logger, backend};
  ScreenRecorderAdapter adapter{recorder};
};

TEST_F(ScreenRecorderAdapterTest, FailuresBecomeTheirDescriptions) {
  EXPECT_EQ(finish(loop, adapter.startRecording("/takes/a.mov", ShareableContent{})),
            std::optional<std::string>("No display is available to record."));
  log->writerFailure = "The file \"b.mov\" couldn't be created: Permission denied";
  EXPECT_EQ(finish(loop, adapter.startRecording("/takes/b.mov", std::nullopt)), log->writerFailure);
  EXPECT_EQ(log->writersMade, 0);
  EXPECT_EQ(log->streamsStarted, 0);
  // Nothing was recorded, so a stop hands back nothing.
  std::optional<std::optional<RecordedTake>> take = finish(loop, adapter.stopRecording());
  ASSERT_TRUE(take);
  EXPECT_FALSE(*take);
  log->writerFailure.reset();
  log->noMicrophone = true;
  EXPECT_EQ(adapter.prepareMicrophone(), std::optional<std::string>("No microphone is available."));
  EXPECT_FALSE(recorder.hasMicrophone());
  // Missing at the start too: the start fails with the capture running.
  EXPECT_EQ(finish(loop, adapter.startRecording("/takes/c.mov", std::nullopt)),
            std::optional<std::string>("No microphone is available."));
  EXPECT_EQ(log->streamsStarted, 1);
}

TEST_F(ScreenRecorderAdapterTest, WriteFailureEndsCaptureAndIsReportedOnceOnTheLoop) {
  log->encoder = std::make_shared<FakeTakeEncoderLog>();
  probe.durations["e.mov"] = 2.5;
  std::vector<std::string> failures;
  adapter.setFailureHandler([&](std::string description) { failures.push_back(description); });
  EXPECT_EQ(adapter.prepareMicrophone(), std::nullopt);
  // A start that works reports nothing.
  EXPECT_EQ(finish(loop, adapter.startRecording("/takes/e.mov", std::nullopt)),
            std::make_optional(std::optional<std::string>()));
  EXPECT_EQ(log->microphoneStarts, 1);
  ASSERT_TRUE(log->output);
  log->output(testing::syntheticFrame(640, 480, 0, 1'000'000'000));
  recorder.sampleQueue().drain();
  ASSERT_EQ(log->encoder->startCalls, 1);

  // What the encoder's thread does when a write fails: the file is failed
  // and the handler hears it.
  log->encoder->status = WriterStatus::failed;
  log->encoder->failureHandler("No space left on device");
  // Posted, not called on the encoder's thread.
  EXPECT_TRUE(failures.empty());
  loop.runUntilIdle();
  ASSERT_EQ(failures, (std::vector<std::string>{"No space left on device"}));
  EXPECT_EQ(log->streamsStopped, 1);
  EXPECT_EQ(log->microphoneStops, 1);
  EXPECT_FALSE(recorder.hasMicrophone());
  // A second report of the same take changes nothing.
  log->encoder->failureHandler("Input/output error");
  loop.runUntilIdle();
  EXPECT_EQ(failures.size(), 1u);

  // Stopping still finishes the file and hands back what it holds.
  std::optional<std::optional<RecordedTake>> take = finish(loop, adapter.stopRecording());
  ASSERT_TRUE(take && *take);
  EXPECT_EQ((*take)->url, "/takes/e.mov");
  EXPECT_DOUBLE_EQ((*take)->duration, 2.5);
  EXPECT_EQ(log->encoder->finishCalls, 1);
  EXPECT_EQ(log->streamsStopped, 1);
}

TEST_F(ScreenRecorderAdapterTest, AnEndedTakeIsNeitherReportedFailingNorHandedBackAgain) {
  log->encoder = std::make_shared<FakeTakeEncoderLog>();
  probe.durations["g.mov"] = 3.0;
  int failures = 0;
  adapter.setFailureHandler([&](std::string) { ++failures; });
  ASSERT_TRUE(finish(loop, adapter.startRecording("/takes/g.mov", std::nullopt)));
  log->output(testing::syntheticFrame(640, 480, 0, 1'000'000'000));
  recorder.sampleQueue().drain();
  TakeEncoder::FailureHandler handler = log->encoder->failureHandler;
  std::optional<std::optional<RecordedTake>> first = finish(loop, adapter.stopRecording());
  ASSERT_TRUE(first && *first);
  EXPECT_EQ((*first)->url, "/takes/g.mov");
  // The encoder of the stopped take fails late (while finishing): the take
  // is over, nobody is told.
  handler("Input/output error");
  loop.runUntilIdle();
  EXPECT_EQ(failures, 0);

  // The next take's file exists already: the start fails, and the stop
  // that follows it (as after any failed start) must not name g.mov, which
  // its caller would then delete.
  log->writerFailure = "The file \"h.mov\" couldn't be created: File exists";
  EXPECT_EQ(finish(loop, adapter.startRecording("/takes/h.mov", std::nullopt)), log->writerFailure);
  std::optional<std::optional<RecordedTake>> after = finish(loop, adapter.stopRecording());
  ASSERT_TRUE(after);
  EXPECT_FALSE(*after);
}

} // namespace
} // namespace vidorel
