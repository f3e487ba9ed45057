#pragma once

#include "review/player.h"

#include <map>
#include <string>
#include <vector>

namespace vidorel {

// A player whose clock moves only when told. Seeks jump at once, tell the
// observers (as a real time jump does) and complete at once.
class FakePlayer final : public Player {
public:
  std::vector<double> seeks;
  std::vector<std::filesystem::path> loaded;

  ItemID load(const std::filesystem::path& file) override {
    item_ = ++lastItem_;
    playing_ = false;
    time_ = 0;
    endTime_.reset();
    loaded.push_back(file);
    return item_;
  }
  ItemID currentItem() const override { return item_; }

  void play() override { playing_ = true; }
  void pause() override { playing_ = false; }
  bool isPlaying() const override { return playing_; }
  double currentTime() const override { return time_; }

  void seek(double seconds, std::function<void()> done = {}) override {
    seeks.push_back(seconds);
    time_ = seconds;
    notify(seconds);
    if (done)
      done();
  }

  void setEndTime(std::optional<double> seconds) override {
    if (item_ == 0)
      return;
    endTime_ = seconds;
  }
  std::optional<double> endTime() const override { return endTime_; }
  // Only the probe knows a take's length.
  std::optional<double> itemDuration() const override { return std::nullopt; }

  ObserverToken addPeriodicTimeObserver(double, std::function<void(double)> observer) override {
    observers_[++lastToken_] = std::move(observer);
    return lastToken_;
  }
  void removeTimeObserver(ObserverToken token) override { observers_.erase(token); }
  size_t observerCount() const { return observers_.size(); }

  // Playback reached time t: the observers hear of it.
  void tick(double t) {
    time_ = t;
    notify(t);
  }
  // Forward playback ended for the current item.
  void playToEnd() {
    playing_ = false;
    if (endTime_)
      time_ = *endTime_;
    if (onEndOfItem)
      onEndOfItem(item_);
  }
  void setTime(double t) { time_ = t; }
  void setPlaying(bool playing) { playing_ = playing; }

private:
  void notify(double t) {
    // Observers may add or remove observers, or seek, while being told.
    auto copy = observers_;
    for (auto& [token, observer] : copy)
      if (observers_.count(token))
        observer(t);
  }

  ItemID item_ = 0;
  ItemID lastItem_ = 0;
  bool playing_ = false;
  double time_ = 0;
  std::optional<double> endTime_;
  std::map<ObserverToken, std::function<void(double)>> observers_;
  ObserverToken lastToken_ = 0;
};

} // namespace vidorel
