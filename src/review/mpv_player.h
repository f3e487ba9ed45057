#pragma once

#include "review/player.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

struct mpv_handle;
struct mpv_event;
class QEvent;
class QWidget;

namespace vidorel {

namespace detail {
class MpvMovieView;
}

// The review window's movie player on libmpv. mpv draws into a native X11
// child window of view() and brings its own on-screen transport controls;
// keys are left to Qt. mpv's events are handled on the Qt main loop, so
// every callback of the interface arrives there.
class MpvPlayer final : public QObject, public Player {
  Q_OBJECT

public:
  // The view is made a child of parent when one is given, and fills the
  // parent's layout if it has one. Without a parent the view belongs to
  // the player until it is put into a layout or given a parent.
  explicit MpvPlayer(QWidget* parent = nullptr);
  ~MpvPlayer() override;
  MpvPlayer(const MpvPlayer&) = delete;
  MpvPlayer& operator=(const MpvPlayer&) = delete;

  // A black widget, at least 640×360, showing the movie.
  QWidget* view() const;
  // False when mpv could not be started; the player then stays empty.
  bool isValid() const { return mpv_ != nullptr; }

  ItemID load(const std::filesystem::path& file) override;
  ItemID currentItem() const override { return item_; }

  void play() override;
  void pause() override;
  bool isPlaying() const override { return item_ != 0 && playing_; }

  double currentTime() const override;
  void seek(double seconds, std::function<void()> done = {}) override;

  void setEndTime(std::optional<double> seconds) override;
  std::optional<double> endTime() const override { return endTime_; }
  std::optional<double> itemDuration() const override;

  ObserverToken addPeriodicTimeObserver(double interval,
                                        std::function<void(double)> observer) override;
  void removeTimeObserver(ObserverToken token) override;

private:
  friend class detail::MpvMovieView;

  struct Observer {
    double interval = 0;
    std::function<void(double)> call;
    qint64 lastCallMs = -1;
  };
  struct PendingSeek {
    std::uint64_t serial = 0;
    std::function<void()> done;
  };
  struct DeferredSeek {
    double seconds = 0;
    std::uint64_t serial = 0;
  };

  bool eventFilter(QObject* watched, QEvent* event) override;

  void start();
  void shutDown();
  void viewGone();
  void attachWindow();
  void detachWindow();
  void drainEvents();
  void handleEvent(const mpv_event& event);
  void handleProperty(const mpv_event& event);
  void fileLoaded();
  void issueSeek(double seconds, std::uint64_t serial);
  void seekAcknowledged(std::uint64_t serial, int status);
  void completeSeeks(bool restarted);
  enum class Clock { picture, sound };
  void timeAdvanced(double t, Clock clock);
  double withinItem(double t) const;
  void checkEndTime();
  void restartClocks(double at);
  void readSoundClock();
  void soundClockRead(const mpv_event& event);
  void reportEnd();
  void setPaused(bool paused);
  // all: every observer at once, as after a seek.
  void notifyObservers(bool all);
  void updateObserverTimer();

  mpv_handle* mpv_ = nullptr;
  std::atomic<bool> drainQueued_ = false;
  QPointer<detail::MpvMovieView> view_;
  QWidget* surface_ = nullptr;
  std::int64_t attachedWindow_ = 0;

  ItemID item_ = 0;
  ItemID lastItem_ = 0;
  // mpv's playlist entry of the current item: events of entries that were
  // replaced are dropped.
  std::int64_t entry_ = -1;
  bool started_ = false;
  bool loaded_ = false;
  bool playing_ = false;
  double time_ = 0;
  // Where the picture and the sound last said they were. A take of still
  // slides has a frame only every half second, so while it plays the
  // sound's clock is what moves the time on.
  double pictureTime_ = 0;
  std::optional<double> soundTime_;
  bool hasSound_ = false;
  std::optional<double> duration_;
  std::optional<double> endTime_;
  bool endReported_ = false;
  bool eofReached_ = false;

  // A seek asked for before the file was open.
  std::optional<DeferredSeek> deferredSeek_;
  std::vector<PendingSeek> seeks_;
  std::uint64_t lastSeekSerial_ = 0;
  std::uint64_t acknowledgedSeek_ = 0;

  std::map<ObserverToken, Observer> observers_;
  ObserverToken lastToken_ = 0;
  QTimer observerTimer_;
  // mpv reports the time only with each new picture; while playing, the
  // sound's position is read more often than that.
  QTimer soundClockTimer_;
  bool soundClockAsked_ = false;
  std::uint64_t soundClockSerial_ = 0;
  QElapsedTimer clock_;
};

} // namespace vidorel
