#include "capture/recorder_adapter.h"

#include <exception>

namespace vidorel {

std::optional<std::string> ScreenRecorderAdapter::prepareMicrophone() {
  try {
    recorder_.prepareMicrophone();
  } catch (const std::exception& failure) {
    return std::string(failure.what());
  }
  return std::nullopt;
}

Task<std::optional<std::string>>
ScreenRecorderAdapter::startRecording(std::filesystem::path url,
                                      std::optional<ShareableContent> content) {
  std::optional<std::string> failure;
  if (options_)
    recorder_.setOptions(options_());
  try {
    co_await recorder_.startRecording(std::move(url), std::move(content));
  } catch (const std::exception& error) {
    failure = std::string(error.what());
  }
  co_return failure;
}

Task<std::optional<RecordedTake>> ScreenRecorderAdapter::stopRecording() {
  std::optional<RecordedTake> take = co_await recorder_.stopRecording();
  co_return take;
}

} // namespace vidorel
