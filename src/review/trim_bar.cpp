#include "review/trim_bar.h"

#include "base/format.h"

#include <algorithm>
#include <cmath>

namespace vidorel {

std::string timeLabel(double seconds) {
  double t = std::isfinite(seconds) ? std::max(seconds, 0.0) : 0.0;
  // Beyond any movie length; keeps the integer conversion defined.
  t = std::min(t, 1e12);
  // Counted in tenths as a whole so that a value such as 2.3, stored as
  // 2.2999999999999998, still reads 0:02.3; the tiny nudge is far below a
  // tenth and never carries a real 0.09 into the next tenth.
  auto tenthsTotal = static_cast<long long>(t * 10 + 1e-6);
  long long whole = tenthsTotal / 10;
  long long tenths = tenthsTotal % 10;
  return formatString("%lld:%02lld.%lld", whole / 60, whole % 60, tenths);
}

TrimBar::TrimBar(double& trimStart, double& trimEnd, std::function<void()> onTrimChanged)
    : trimStart_(trimStart), trimEnd_(trimEnd), onTrimChanged_(std::move(onTrimChanged)),
      seenTrimEnd_(trimEnd) {}

TrimBar::~TrimBar() {
  removeObserver();
}

void TrimBar::update(bool shown, double duration, std::shared_ptr<Player> player) {
  if (!shown) {
    if (shown_)
      removeObserver();
    shown_ = false;
    duration_ = duration;
    player_ = std::move(player);
    seenTrimEnd_ = trimEnd_;
    drag_.reset();
    return;
  }
  if (!shown_) {
    shown_ = true;
    duration_ = duration;
    player_ = std::move(player);
    seenTrimEnd_ = trimEnd_;
    installObserver();
    return;
  }

  bool reinstall = false;
  if (player != player_) {
    player_ = std::move(player);
    reinstall = true;
  }
  if (duration != duration_) {
    duration_ = duration;
    reinstall = true;
  }
  if (trimEnd_ != seenTrimEnd_) {
    seenTrimEnd_ = trimEnd_;
    applyEndTime();
    // The observer holds the end it was installed with.
    reinstall = true;
  }
  if (reinstall)
    installObserver();
}

TrimBarGeometry TrimBar::geometry(double width) const {
  TrimBarGeometry g;
  g.trackWidth = width - 2 * handleWidth;
  double s = 0;
  double e = 1;
  if (duration_ > 0) {
    s = trimStart_ / duration_;
    e = trimEnd_ / duration_;
  }
  double w = g.trackWidth;
  g.startFraction = s;
  g.endFraction = e;
  g.startHandleX = s * w + 0.5 * handleWidth;
  g.endHandleX = e * w + 1.5 * handleWidth;
  g.rangeX = s * w + handleWidth;
  g.rangeWidth = std::max(0.0, (e - s) * w);
  g.playheadX = playheadFraction_ * w + handleWidth;
  g.shadeBefore = s > 0.001;
  g.shadeAfter = e < 0.999;
  return g;
}

TrimBarLabels TrimBar::labels() const {
  return {timeLabel(trimStart_), timeLabel(trimEnd_ - trimStart_), timeLabel(trimEnd_)};
}

std::optional<TrimHandle> TrimBar::handleAt(double x, double y, double width) const {
  if (y < 0 || y > barHeight)
    return std::nullopt;
  TrimBarGeometry g = geometry(width);
  if (std::abs(x - g.endHandleX) <= handleWidth / 2)
    return TrimHandle::end;
  if (std::abs(x - g.startHandleX) <= handleWidth / 2)
    return TrimHandle::start;
  return std::nullopt;
}

void TrimBar::press(TrimHandle handle, double x, double y) {
  drag_ = Drag{handle, x, y};
}

void TrimBar::move(double x, double y, double width) {
  if (!drag_)
    return;
  if (!drag_->active) {
    if (std::hypot(x - drag_->pressX, y - drag_->pressY) < minimumDragDistance)
      return;
    drag_->active = true;
  }
  dragTo(drag_->handle, x, width);
}

void TrimBar::release(double /*x*/, double /*y*/, double /*width*/) {
  if (!drag_)
    return;
  bool wasActive = drag_->active;
  drag_.reset();
  // One report per drag, not one per step, so the owner stores the range
  // once.
  if (wasActive && onTrimChanged_)
    onTrimChanged_();
}

void TrimBar::dragTo(TrimHandle handle, double x, double width) {
  double w = width - 2 * handleWidth;
  double s = 0;
  double e = 1;
  if (duration_ > 0) {
    s = trimStart_ / duration_;
    e = trimEnd_ / duration_;
  }
  double gap = minGap / duration_;

  if (handle == TrimHandle::start) {
    double f = (x - 0.5 * handleWidth) / w;
    f = std::min(f, e - gap);
    f = std::max(f, 0.0);
    if (std::isnan(f))
      f = 0;
    trimStart_ = f * duration_;
    if (player_ && duration_ > 0 && player_->currentTime() < trimStart_)
      player_->seek(trimStart_);
  } else {
    double f = (x - 1.5 * handleWidth) / w;
    f = std::max(f, s + gap);
    f = std::min(f, 1.0);
    // A track of no width gives 0/0; leave the end at the end rather than
    // store a range that is not a number.
    if (std::isnan(f))
      f = 1;
    trimEnd_ = f * duration_;
    // Moves the player's end time and reinstalls the observer with the new
    // end.
    update(shown_, duration_, player_);
  }
  if (onDisplayChanged)
    onDisplayChanged();
}

void TrimBar::applyEndTime() {
  if (player_ && player_->currentItem() != 0)
    player_->setEndTime(trimEnd_);
}

void TrimBar::installObserver() {
  removeObserver();
  if (!player_ || !(duration_ > 0))
    return;
  std::weak_ptr<Player> weak = player_;
  double capturedEnd = trimEnd_;
  timeObserver_ = player_->addPeriodicTimeObserver(
      observerInterval, [this, weak, capturedEnd](double t) { tick(weak, capturedEnd, t); });
  observerPlayer_ = player_;
}

void TrimBar::removeObserver() {
  if (timeObserver_) {
    if (std::shared_ptr<Player> player = observerPlayer_.lock())
      player->removeTimeObserver(*timeObserver_);
  }
  timeObserver_.reset();
  observerPlayer_.reset();
}

void TrimBar::tick(const std::weak_ptr<Player>& weak, double capturedEnd, double t) {
  std::shared_ptr<Player> player = weak.lock();
  if (!player)
    return;
  playheadFraction_ = duration_ > 0 ? std::clamp(t / duration_, 0.0, 1.0) : 0.0;
  if (std::isnan(playheadFraction_))
    playheadFraction_ = 0;
  if (player->isPlaying()) {
    // A little slack before the start, so that the seek that lands a hair
    // early does not bounce.
    if (t < trimStart_ - 0.1)
      player->seek(trimStart_);
    // An end at the natural end plays out, so the end-of-item report comes.
    if (capturedEnd < duration_ - 0.01 && t >= capturedEnd) {
      player->pause();
      player->seek(capturedEnd);
    }
  }
  if (onDisplayChanged)
    onDisplayChanged();
}

} // namespace vidorel
