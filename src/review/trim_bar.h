#pragma once

#include "review/player.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vidorel {

// "%d:%02d.%d": minutes (not wrapped into hours), seconds, tenths, all
// truncated; negative or non-finite values read as 0.
std::string timeLabel(double seconds);

enum class TrimHandle { start, end };

// Where everything of the bar sits for a bar area W wide (x in the bar's own
// coordinates, 0 at its left edge).
struct TrimBarGeometry {
  double trackWidth = 0;   // W minus both handles
  double startHandleX = 0; // centre of the start handle
  double endHandleX = 0;   // centre of the end handle
  double rangeX = 0;       // left edge of the kept range
  double rangeWidth = 0;
  double playheadX = 0; // centre of the playhead line
  bool shadeBefore = false;
  bool shadeAfter = false;
  double startFraction = 0;
  double endFraction = 1;
};

struct TrimBarLabels {
  std::string start;
  std::string length;
  std::string end;
};

// The trim bar under the movie: two handles marking the kept range of the
// take, a playhead, and a periodic observer on the player that keeps
// playback inside the range. The range itself belongs to the owner (the
// review window); the bar edits it in place through the two references.
// Main loop only.
class TrimBar {
public:
  static constexpr double handleWidth = 12;
  static constexpr double barHeight = 44;
  static constexpr double labelHeight = 16;
  static constexpr double labelGap = 2;
  static constexpr double minGap = 0.5;
  // A press must move this far before it counts as a drag.
  static constexpr double minimumDragDistance = 10;
  static constexpr double observerInterval = 0.05;

  TrimBar(double& trimStart, double& trimEnd, std::function<void()> onTrimChanged);
  ~TrimBar();
  TrimBar(const TrimBar&) = delete;
  TrimBar& operator=(const TrimBar&) = delete;

  // The owner's state as it stands now. The first call with shown true
  // installs the observer; later calls reinstall it when the player, the
  // duration or trimEnd changed since the last call (trimEnd also moves the
  // player's end time). shown false removes it.
  void update(bool shown, double duration, std::shared_ptr<Player> player);

  double duration() const { return duration_; }
  double playheadFraction() const { return playheadFraction_; }
  bool isObserving() const { return timeObserver_.has_value(); }

  TrimBarGeometry geometry(double width) const;
  TrimBarLabels labels() const;
  // The handle under a point of the bar area; the end handle wins where
  // both overlap, since it is drawn on top.
  std::optional<TrimHandle> handleAt(double x, double y, double width) const;

  // Pointer events on a handle, in bar coordinates. Nothing changes until
  // the pointer has moved minimumDragDistance from the press.
  void press(TrimHandle handle, double x, double y);
  void move(double x, double y, double width);
  void release(double x, double y, double width);
  bool isDragging() const { return drag_ && drag_->active; }

  // Called whenever something drawn changed (range, playhead), so that a
  // view can repaint.
  std::function<void()> onDisplayChanged;

private:
  struct Drag {
    TrimHandle handle;
    double pressX;
    double pressY;
    bool active = false;
  };

  void dragTo(TrimHandle handle, double x, double width);
  void applyEndTime();
  void installObserver();
  void removeObserver();
  void tick(const std::weak_ptr<Player>& player, double capturedEnd, double t);

  double& trimStart_;
  double& trimEnd_;
  std::function<void()> onTrimChanged_;
  double duration_ = 0;
  std::shared_ptr<Player> player_;
  double playheadFraction_ = 0;
  std::optional<Player::ObserverToken> timeObserver_;
  std::weak_ptr<Player> observerPlayer_;

  bool shown_ = false;
  double seenTrimEnd_ = 0;
  std::optional<Drag> drag_;
};

} // namespace vidorel
