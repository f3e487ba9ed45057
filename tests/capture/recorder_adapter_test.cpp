#include "capture/recorder_adapter.h"

#include "base/virtual_main_loop.h"
#include "fakes/fake_capture_backend.h"
#include "fakes/fake_duration_probe.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

template <typename T> std::optional<T> finish(VirtualMainLoop& loop, Task<T> task) {
  std::optional<T> result;
  auto wrapper = [](Task<T> task, std::optional<T>& result) -> Task<void> {
    result.emplace(co_await task);
  };
  spawn(wrapper(std::move(task), result));
  loop.runUntilIdle();
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

TEST_F(ScreenRecorderAdapterTest, MicrophoneFailureBecomesItsDescription) {
  log->noMicrophone = true;
  EXPECT_EQ(adapter.prepareMicrophone(), std::optional<std::string>("No microphone is available."));
  EXPECT_FALSE(recorder.hasMicrophone());
  log->noMicrophone = false;
  EXPECT_EQ(adapter.prepareMicrophone(), std::nullopt);
  EXPECT_TRUE(recorder.hasMicrophone());
  adapter.releaseMicrophone();
  EXPECT_FALSE(recorder.hasMicrophone());
  EXPECT_EQ(log->microphoneStops, 1);
}

TEST_F(ScreenRecorderAdapterTest, StartFailuresBecomeTheirDescriptions) {
  std::optional<std::optional<std::string>> noDisplay =
      finish(loop, adapter.startRecording("/takes/a.mov", ShareableContent{}));
  ASSERT_TRUE(noDisplay);
  EXPECT_EQ(*noDisplay, std::optional<std::string>("No display is available to record."));
  EXPECT_EQ(log->writersMade, 0);

  log->writerFailure = "The file \"b.mov\" couldn't be created: Permission denied";
  std::optional<std::optional<std::string>> unwritable =
      finish(loop, adapter.startRecording("/takes/b.mov", std::nullopt));
  ASSERT_TRUE(unwritable);
  EXPECT_EQ(*unwritable, log->writerFailure);
  EXPECT_EQ(log->streamsStarted, 0);
}

TEST_F(ScreenRecorderAdapterTest, MicrophoneMissingAtTheStartFailsWithCaptureRunning) {
  log->noMicrophone = true;
  std::optional<std::optional<std::string>> failure =
      finish(loop, adapter.startRecording("/takes/c.mov", std::nullopt));
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, std::optional<std::string>("No microphone is available."));
  EXPECT_EQ(log->streamsStarted, 1);
}

TEST_F(ScreenRecorderAdapterTest, StartThatWorksReportsNothing) {
  adapter.prepareMicrophone();
  std::optional<std::optional<std::string>> result =
      finish(loop, adapter.startRecording("/takes/d.mov", std::nullopt));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, std::nullopt);
  EXPECT_EQ(log->streamsStarted, 1);
  EXPECT_EQ(log->writersMade, 1);
  EXPECT_EQ(log->microphoneStarts, 1);
}

TEST_F(ScreenRecorderAdapterTest, StopWithoutTakeIsNothing) {
  std::optional<std::optional<RecordedTake>> take = finish(loop, adapter.stopRecording());
  ASSERT_TRUE(take);
  EXPECT_FALSE(*take);
}

} // namespace
} // namespace vidorel
