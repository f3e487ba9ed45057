#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace vidorel {

// The movie player of the review window. Every seek is exact (no tolerance
// either side); times are seconds. Used on the main loop only; every
// callback arrives there too.
class Player {
public:
  // Identifies one loaded file, so that an end-of-file report of an item
  // that was replaced in the meantime can be told apart. 0 = no item.
  using ItemID = std::uint64_t;
  using ObserverToken = int;

  virtual ~Player() = default;

  // Replaces the current item with the movie at file, paused at its start,
  // with no end time. Returns the new item's id.
  virtual ItemID load(const std::filesystem::path& file) = 0;
  virtual ItemID currentItem() const = 0;

  virtual void play() = 0;
  virtual void pause() = 0;
  virtual bool isPlaying() const = 0;

  // Current position of the current item; 0 without one.
  virtual double currentTime() const = 0;
  // Exact seek; done (when given) runs once the player is at the new time.
  virtual void seek(double seconds, std::function<void()> done = {}) = 0;

  // Forward playback stops at this time and reports the end of the item as
  // if the file ended there. Nothing = play to the natural end. Ignored
  // without a current item.
  virtual void setEndTime(std::optional<double> seconds) = 0;
  virtual std::optional<double> endTime() const = 0;
  // Length of the current item once known.
  virtual std::optional<double> itemDuration() const = 0;

  // Called with the position about every interval seconds while an item is
  // loaded, and after every seek.
  virtual ObserverToken addPeriodicTimeObserver(double interval,
                                                std::function<void(double)> observer) = 0;
  virtual void removeTimeObserver(ObserverToken token) = 0;

  // Forward playback reached the end (or the end time) of the item with
  // this id.
  std::function<void(ItemID)> onEndOfItem;
};

} // namespace vidorel
