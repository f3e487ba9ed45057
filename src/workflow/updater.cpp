#include "workflow/updater.h"

namespace vidorel {

std::optional<std::string> configuredUpdateFeed() {
#ifdef VIDOREL_UPDATE_FEED_URL
  std::string feed = VIDOREL_UPDATE_FEED_URL;
  if (!feed.empty())
    return feed;
#endif
  return std::nullopt;
}

namespace {
bool isWebAddress(const std::string& text) {
  return (text.starts_with("https://") && text.size() > 8) ||
         (text.starts_with("http://") && text.size() > 7);
}
} // namespace

bool FeedUpdater::start() {
  started_ = feed_ && isWebAddress(*feed_);
  return started_;
}

void FeedUpdater::checkForUpdates() {
  if (!started_ || !openURL_)
    return;
  openURL_(*feed_);
}

} // namespace vidorel
