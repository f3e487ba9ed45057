#include "review/mpv_player.h"

#include <QByteArray>
#include <QEvent>
#include <QLayout>
#include <QMetaObject>
#include <QPalette>
#include <QResizeEvent>
#include <QWidget>
#include <QWindow>
#include <QtGlobal>

#include <mpv/client.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstring>
#include <string>

namespace vidorel {

namespace detail {

// The black frame around mpv's window. It shuts mpv down in its own
// destructor, while its native child still exists: mpv must never draw
// into an X window that is gone.
class MpvMovieView final : public QWidget {
public:
  MpvMovieView(MpvPlayer* player, QWidget* parent) : QWidget(parent), player_(player) {
    setMinimumSize(640, 360);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAutoFillBackground(true);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);

    surface_ = new QWidget(this);
    // Only the surface needs an X window of its own; the view and its
    // window stay alien, so putting the view into a layout later reparents
    // the surface's window instead of recreating it.
    surface_->setAttribute(Qt::WA_NativeWindow);
    surface_->setAttribute(Qt::WA_DontCreateNativeAncestors);
    surface_->setAttribute(Qt::WA_OpaquePaintEvent);
    surface_->setAutoFillBackground(true);
    surface_->setPalette(black);
    surface_->setGeometry(rect());
  }
  ~MpvMovieView() override {
    if (player_)
      player_->viewGone();
  }

  QWidget* surface() const { return surface_; }
  void detach() { player_ = nullptr; }

protected:
  void resizeEvent(QResizeEvent* event) override {
    surface_->setGeometry(QRect(QPoint(0, 0), event->size()));
  }

private:
  MpvPlayer* player_;
  QWidget* surface_;
};

} // namespace detail

namespace {

// Reply ids of the observed properties.
enum PropertyID : std::uint64_t { TimePos = 1, Pause, Duration, EofReached };

// Seek command replies carry their serial with this bit set, so they can
// never be taken for another command's reply.
constexpr std::uint64_t SeekReply = std::uint64_t(1) << 62;
// Replies to reading the sound's position carry this bit and the serial of
// the position they were asked in.
constexpr std::uint64_t SoundClockReply = std::uint64_t(1) << 61;

// A time reported below an end by less than this still counts as at it.
constexpr double Epsilon = 1e-3;

// Further behind the picture than this, the sound has ended; a take's
// pictures are never further apart.
constexpr double MaxSoundLag = 1.0;

std::optional<double> doubleProperty(mpv_handle* mpv, const char* name) {
  double value = 0;
  if (mpv_get_property(mpv, name, MPV_FORMAT_DOUBLE, &value) < 0 || !std::isfinite(value))
    return std::nullopt;
  return value;
}

} // namespace

MpvPlayer::MpvPlayer(QWidget* parent) {
  view_ = new detail::MpvMovieView(this, parent);
  if (parent && parent->layout())
    parent->layout()->addWidget(view_);
  surface_ = view_->surface();
  surface_->installEventFilter(this);
  clock_.start();
  observerTimer_.setTimerType(Qt::PreciseTimer);
  connect(&observerTimer_, &QTimer::timeout, this, [this] { notifyObservers(false); });
  soundClockTimer_.setTimerType(Qt::PreciseTimer);
  soundClockTimer_.setInterval(20);
  connect(&soundClockTimer_, &QTimer::timeout, this, &MpvPlayer::readSoundClock);
  start();
}

MpvPlayer::~MpvPlayer() {
  shutDown();
  if (view_) {
    view_->detach();
    // A view that was never given a parent is still ours.
    if (!view_->parentWidget())
      delete view_.data();
  }
}

QWidget* MpvPlayer::view() const {
  return view_.data();
}

void MpvPlayer::start() {
  // libmpv refuses to start unless numbers are formatted the C way, and
  // QApplication has set the user's locale.
  std::setlocale(LC_NUMERIC, "C");
  mpv_ = mpv_create();
  if (!mpv_) {
    qWarning("mpv: could not create a player");
    return;
  }
  auto option = [this](const char* name, const char* value) {
    if (mpv_set_option_string(mpv_, name, value) < 0)
      qWarning("mpv: option %s=%s not taken", name, value);
  };
  // Nothing of a user's mpv set-up (config files, scripts, key bindings)
  // may change how the review window behaves.
  option("config", "no");
  option("load-scripts", "no");
  option("ytdl", "no");
  option("terminal", "no");
  option("input-default-bindings", "no");
  // Keys (Space above all) belong to the review window, not to mpv's
  // window under the pointer.
  option("input-vo-keyboard", "no");
  // The built-in on-screen controller is the inline transport; it reads
  // the mouse from mpv's own window.
  option("osc", "yes");
  option("script-opts", "osc-layout=bottombar");
  // Stay alive without a file and keep a finished file paused on its last
  // frame, as the review window expects to seek back into it.
  option("idle", "yes");
  option("keep-open", "yes");
  // Every seek is exact.
  option("hr-seek", "yes");
  // The GPU output through EGL on X11 (on a test X server, Mesa's software
  // renderer does); plain X11 images where EGL fails; no picture at all
  // rather than no player. Only the x11egl context is tried: mpv's own
  // probing goes on to DRM, which from inside an X session fails to open
  // the terminal and then closes descriptor 0 over and over, whatever it
  // has become by then (the next movie opened, Qt's X connection).
  option("vo", "gpu,x11,null");
  option("gpu-context", "x11egl");
  option("ao", "pulse,null");
  option("audio-client-name", "Vidorel");
  option("hwdec", "no");
  // Until the view is on screen; see attachWindow().
  option("vid", "no");

  // VIDOREL_MPV_LOG=v (or debug) shows what mpv is doing.
  QByteArray logLevel = qgetenv("VIDOREL_MPV_LOG");
  mpv_request_log_messages(mpv_, logLevel.isEmpty() ? "error" : logLevel.constData());
  mpv_observe_property(mpv_, TimePos, "time-pos", MPV_FORMAT_DOUBLE);
  mpv_observe_property(mpv_, Pause, "pause", MPV_FORMAT_FLAG);
  mpv_observe_property(mpv_, Duration, "duration", MPV_FORMAT_DOUBLE);
  mpv_observe_property(mpv_, EofReached, "eof-reached", MPV_FORMAT_FLAG);

  // mpv calls this from its own threads; one drain is queued at a time.
  mpv_set_wakeup_callback(
      mpv_,
      [](void* context) {
        auto* self = static_cast<MpvPlayer*>(context);
        if (!self->drainQueued_.exchange(true))
          QMetaObject::invokeMethod(self, &MpvPlayer::drainEvents, Qt::QueuedConnection);
      },
      this);

  if (mpv_initialize(mpv_) < 0) {
    qWarning("mpv: could not start the player");
    shutDown();
  }
}

void MpvPlayer::shutDown() {
  if (!mpv_)
    return;
  // Once this returns, mpv's threads can no longer be inside the wakeup
  // callback, and a drain already queued goes away with this object.
  mpv_set_wakeup_callback(mpv_, nullptr, nullptr);
  mpv_terminate_destroy(mpv_);
  mpv_ = nullptr;
  playing_ = false;
}

void MpvPlayer::viewGone() {
  shutDown();
  if (surface_)
    surface_->removeEventFilter(this);
  surface_ = nullptr;
  attachedWindow_ = 0;
}

void MpvPlayer::attachWindow() {
  // The surface's X window is handed over only once it is on screen.
  // Asking Qt for it earlier, while the view may still be parentless, makes
  // windows that Qt loses track of when the view is put into a layout; and
  // an output mpv opens on a window not yet shown never appears.
  if (!mpv_ || !surface_ || !surface_->isVisible() || !surface_->windowHandle() ||
      !surface_->windowHandle()->isExposed())
    return;
  auto window = static_cast<std::int64_t>(surface_->winId());
  if (window == attachedWindow_)
    return;
  attachedWindow_ = window;
  mpv_set_property(mpv_, "wid", MPV_FORMAT_INT64, &window);
  // mpv reads wid only when it opens its video output.
  mpv_set_property_string(mpv_, "vid", "auto");
}

void MpvPlayer::detachWindow() {
  if (!mpv_ || attachedWindow_ == 0)
    return;
  attachedWindow_ = 0;
  // Without a window, video stays off: mpv would otherwise open a window
  // of its own.
  mpv_set_property_string(mpv_, "vid", "no");
}

bool MpvPlayer::eventFilter(QObject* watched, QEvent* event) {
  if (watched == surface_) {
    if (event->type() == QEvent::WinIdChange && attachedWindow_ != 0 &&
        static_cast<std::int64_t>(surface_->internalWinId()) != attachedWindow_)
      detachWindow();
    else if (event->type() == QEvent::Paint)
      attachWindow();
  }
  return QObject::eventFilter(watched, event);
}

Player::ItemID MpvPlayer::load(const std::filesystem::path& file) {
  item_ = ++lastItem_;
  entry_ = -1;
  started_ = false;
  loaded_ = false;
  playing_ = false;
  time_ = 0;
  restartClocks(0);
  hasSound_ = false;
  duration_.reset();
  endTime_.reset();
  endReported_ = false;
  eofReached_ = false;
  deferredSeek_.reset();
  // Seeks still running belong to the item being replaced.
  seeks_.clear();
  updateObserverTimer();
  if (!mpv_)
    return item_;

  attachWindow();
  setPaused(true);
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(file, error);
  std::string path = (error ? file : absolute).string();
  const char* command[] = {"loadfile", path.c_str(), "replace", nullptr};
  mpv_node result{};
  int status = mpv_command_ret(mpv_, command, &result);
  if (status < 0) {
    qWarning("mpv: could not load %s: %s", path.c_str(), mpv_error_string(status));
    return item_;
  }
  if (result.format == MPV_FORMAT_NODE_MAP) {
    for (int i = 0; i < result.u.list->num; ++i)
      if (std::strcmp(result.u.list->keys[i], "playlist_entry_id") == 0 &&
          result.u.list->values[i].format == MPV_FORMAT_INT64)
        entry_ = result.u.list->values[i].u.int64;
  }
  mpv_free_node_contents(&result);
  return item_;
}

void MpvPlayer::play() {
  if (item_ == 0 || !mpv_)
    return;
  // mpv would pause again at once on the kept-open last frame.
  if (eofReached_)
    return;
  if (loaded_ && endTime_ && time_ >= *endTime_ - Epsilon) {
    // Already at the end: forward playback ends at once.
    if (!endReported_) {
      ItemID item = item_;
      QMetaObject::invokeMethod(
          this,
          [this, item] {
            if (item == item_ && !endReported_)
              reportEnd();
          },
          Qt::QueuedConnection);
    }
    return;
  }
  playing_ = true;
  setPaused(false);
  soundClockTimer_.start();
}

void MpvPlayer::pause() {
  if (item_ == 0 || !mpv_)
    return;
  playing_ = false;
  setPaused(true);
}

void MpvPlayer::setPaused(bool paused) {
  if (!mpv_)
    return;
  int flag = paused ? 1 : 0;
  // Synchronous, so that a pause change reported afterwards is never an
  // older one.
  mpv_set_property(mpv_, "pause", MPV_FORMAT_FLAG, &flag);
}

double MpvPlayer::currentTime() const {
  return item_ != 0 && loaded_ ? time_ : 0;
}

std::optional<double> MpvPlayer::itemDuration() const {
  return item_ != 0 ? duration_ : std::nullopt;
}

void MpvPlayer::seek(double seconds, std::function<void()> done) {
  if (item_ == 0 || !mpv_) {
    if (done)
      done();
    return;
  }
  if (!std::isfinite(seconds))
    seconds = 0;
  seconds = std::max(0.0, seconds);
  if (duration_)
    seconds = std::min(seconds, *duration_);
  time_ = seconds;
  restartClocks(seconds);
  if (!endTime_ || seconds < *endTime_ - Epsilon)
    endReported_ = false;
  std::uint64_t serial = ++lastSeekSerial_;
  seeks_.push_back({serial, std::move(done)});
  if (loaded_)
    issueSeek(seconds, serial);
  else
    deferredSeek_ = DeferredSeek{seconds, serial};
}

void MpvPlayer::issueSeek(double seconds, std::uint64_t serial) {
  std::string target = std::to_string(seconds);
  const char* command[] = {"seek", target.c_str(), "absolute+exact", nullptr};
  int status = mpv_command_async(mpv_, SeekReply | serial, command);
  if (status < 0)
    seekAcknowledged(serial, status);
}

void MpvPlayer::seekAcknowledged(std::uint64_t serial, int status) {
  acknowledgedSeek_ = std::max(acknowledgedSeek_, serial);
  // A seek mpv refused never restarts playback; it is over now.
  if (status < 0)
    completeSeeks(false);
}

void MpvPlayer::completeSeeks(bool restarted) {
  if (!mpv_ || !started_)
    return;
  std::vector<PendingSeek> finished;
  auto firstOpen = std::stable_partition(seeks_.begin(), seeks_.end(), [this](const auto& seek) {
    return seek.serial <= acknowledgedSeek_;
  });
  std::move(seeks_.begin(), firstOpen, std::back_inserter(finished));
  seeks_.erase(seeks_.begin(), firstOpen);
  if (seeks_.empty() && restarted) {
    if (std::optional<double> t = doubleProperty(mpv_, "time-pos")) {
      time_ = withinItem(*t);
      restartClocks(time_);
    }
  }
  if (finished.empty())
    return;
  ItemID item = item_;
  QPointer<MpvPlayer> self(this);
  notifyObservers(true);
  for (auto& seek : finished) {
    if (!self || item_ != item)
      return;
    if (seek.done)
      seek.done();
  }
}

void MpvPlayer::setEndTime(std::optional<double> seconds) {
  if (item_ == 0)
    return;
  endTime_ = seconds;
  if (!seconds || currentTime() < *seconds - Epsilon)
    endReported_ = false;
  checkEndTime();
}

Player::ObserverToken MpvPlayer::addPeriodicTimeObserver(double interval,
                                                         std::function<void(double)> observer) {
  ObserverToken token = ++lastToken_;
  observers_[token] = Observer{interval, std::move(observer), -1};
  updateObserverTimer();
  return token;
}

void MpvPlayer::removeTimeObserver(ObserverToken token) {
  observers_.erase(token);
  updateObserverTimer();
}

void MpvPlayer::updateObserverTimer() {
  if (observers_.empty() || item_ == 0) {
    observerTimer_.stop();
    return;
  }
  double smallest = observers_.begin()->second.interval;
  for (const auto& [token, observer] : observers_)
    smallest = std::min(smallest, observer.interval);
  int ms = std::clamp(static_cast<int>(std::lround(smallest * 1000)), 10, 60000);
  if (!observerTimer_.isActive() || observerTimer_.interval() != ms)
    observerTimer_.start(ms);
}

void MpvPlayer::notifyObservers(bool all) {
  if (item_ == 0)
    return;
  qint64 now = clock_.elapsed();
  qint64 slack = observerTimer_.interval() / 2;
  // Observers may add or remove observers, load or seek while being told.
  std::vector<ObserverToken> tokens;
  for (const auto& [token, observer] : observers_)
    tokens.push_back(token);
  QPointer<MpvPlayer> self(this);
  for (ObserverToken token : tokens) {
    if (!self)
      return;
    auto found = observers_.find(token);
    if (found == observers_.end())
      continue;
    Observer& observer = found->second;
    if (!all && observer.lastCallMs >= 0 &&
        now - observer.lastCallMs + slack < std::llround(observer.interval * 1000))
      continue;
    observer.lastCallMs = now;
    auto call = observer.call;
    call(currentTime());
  }
}

void MpvPlayer::drainEvents() {
  drainQueued_ = false;
  QPointer<MpvPlayer> self(this);
  while (self && mpv_) {
    mpv_event* event = mpv_wait_event(mpv_, 0);
    if (event->event_id == MPV_EVENT_NONE)
      break;
    handleEvent(*event);
  }
}

void MpvPlayer::handleEvent(const mpv_event& event) {
  switch (event.event_id) {
  case MPV_EVENT_START_FILE: {
    auto* start = static_cast<const mpv_event_start_file*>(event.data);
    started_ = entry_ >= 0 && start->playlist_entry_id == entry_;
    break;
  }
  case MPV_EVENT_FILE_LOADED:
    if (started_ && !loaded_)
      fileLoaded();
    break;
  case MPV_EVENT_END_FILE: {
    auto* end = static_cast<const mpv_event_end_file*>(event.data);
    if (end->playlist_entry_id != entry_)
      break;
    bool natural = end->reason == MPV_END_FILE_REASON_EOF;
    if (end->reason == MPV_END_FILE_REASON_ERROR)
      qWarning("mpv: playback failed: %s", mpv_error_string(end->error));
    started_ = false;
    playing_ = false;
    if (natural && !endReported_)
      reportEnd();
    break;
  }
  case MPV_EVENT_PLAYBACK_RESTART:
    completeSeeks(true);
    break;
  case MPV_EVENT_GET_PROPERTY_REPLY:
    if (event.reply_userdata & SoundClockReply)
      soundClockRead(event);
    break;
  case MPV_EVENT_COMMAND_REPLY:
    if (event.reply_userdata & SeekReply)
      seekAcknowledged(event.reply_userdata & ~SeekReply, event.error);
    break;
  case MPV_EVENT_PROPERTY_CHANGE:
    handleProperty(event);
    break;
  case MPV_EVENT_LOG_MESSAGE: {
    auto* message = static_cast<const mpv_event_log_message*>(event.data);
    std::string text = message->text;
    while (!text.empty() && text.back() == '\n')
      text.pop_back();
    qWarning("mpv: %s: %s", message->prefix, text.c_str());
    break;
  }
  case MPV_EVENT_SHUTDOWN:
    shutDown();
    break;
  default:
    break;
  }
}

void MpvPlayer::handleProperty(const mpv_event& event) {
  auto* property = static_cast<const mpv_event_property*>(event.data);
  bool present = property->format != MPV_FORMAT_NONE && property->data;
  switch (event.reply_userdata) {
  case Pause:
    if (present && item_ != 0)
      playing_ = *static_cast<int*>(property->data) == 0;
    if (playing_)
      soundClockTimer_.start();
    break;
  case TimePos:
    if (present && loaded_)
      timeAdvanced(*static_cast<double*>(property->data), Clock::picture);
    break;
  case Duration:
    if (present && started_) {
      double duration = *static_cast<double*>(property->data);
      if (std::isfinite(duration) && duration > 0)
        duration_ = duration;
    }
    break;
  case EofReached: {
    if (!loaded_)
      break;
    bool reached = present && *static_cast<int*>(property->data) != 0;
    bool rising = reached && !eofReached_;
    eofReached_ = reached;
    if (rising) {
      playing_ = false;
      // At the end the last picture is where the movie stands, though the
      // sound may still be on its way out.
      soundTime_.reset();
      time_ = std::max(time_, pictureTime_);
      if (!endReported_)
        reportEnd();
    }
    break;
  }
  default:
    break;
  }
}

void MpvPlayer::fileLoaded() {
  loaded_ = true;
  time_ = 0;
  restartClocks(0);
  if (std::optional<double> duration = doubleProperty(mpv_, "duration"); duration && *duration > 0)
    duration_ = duration;
  std::int64_t soundTrack = 0;
  hasSound_ = mpv_get_property(mpv_, "current-tracks/audio/id", MPV_FORMAT_INT64, &soundTrack) >= 0;
  if (deferredSeek_) {
    DeferredSeek seek = *deferredSeek_;
    deferredSeek_.reset();
    double target = duration_ ? std::min(seek.seconds, *duration_) : seek.seconds;
    time_ = target;
    restartClocks(target);
    issueSeek(target, seek.serial);
  }
}

void MpvPlayer::timeAdvanced(double t, Clock clock) {
  // While a seek runs, mpv may still report where it came from; the time
  // already is the target.
  if (!seeks_.empty() || !std::isfinite(t))
    return;
  t = withinItem(t);
  bool movedBack = false;
  if (clock == Clock::sound) {
    soundTime_ = t;
  } else {
    // A picture earlier than the last one is a seek made in mpv's own
    // controller: the sound's old position no longer counts.
    movedBack = t < pictureTime_;
    if (movedBack)
      restartClocks(t);
    pictureTime_ = t;
  }
  // The sound is the clock while there is one: the picture stays on a
  // still slide while the sound goes on, and mpv names the next picture as
  // soon as it is queued, up to a picture's length early. Until the sound
  // has started the time waits for it. A sound far behind the picture has
  // ended before it.
  std::optional<double> reference = soundTime_;
  if (!reference && !movedBack && playing_ && hasSound_)
    reference = time_;
  if (reference && pictureTime_ - *reference < MaxSoundLag)
    t = *reference;
  else
    t = pictureTime_;
  time_ = t;
  // Seeks made with mpv's own controller re-arm the end too.
  if (endTime_ && t < *endTime_ - Epsilon)
    endReported_ = false;
  checkEndTime();
}

double MpvPlayer::withinItem(double t) const {
  // The sound may run a few milliseconds past the container's length.
  t = std::max(0.0, t);
  return duration_ ? std::min(t, *duration_) : t;
}

// The movie stands at `at` from here on: a sound position read before
// (or asked for and still on its way) no longer counts.
void MpvPlayer::restartClocks(double at) {
  pictureTime_ = at;
  soundTime_.reset();
  ++soundClockSerial_;
}

void MpvPlayer::readSoundClock() {
  if (!mpv_ || !loaded_ || !playing_) {
    soundClockTimer_.stop();
    return;
  }
  // Asked without waiting: the main thread must not wait while mpv's core
  // is busy opening or decoding.
  if (soundClockAsked_ || !seeks_.empty())
    return;
  soundClockAsked_ = true;
  if (mpv_get_property_async(mpv_, SoundClockReply | soundClockSerial_, "audio-pts",
                             MPV_FORMAT_DOUBLE) < 0)
    soundClockAsked_ = false;
}

void MpvPlayer::soundClockRead(const mpv_event& event) {
  soundClockAsked_ = false;
  // Asked before a seek or another item: that position no longer counts.
  if ((event.reply_userdata & ~SoundClockReply) != soundClockSerial_ || !loaded_ || !playing_)
    return;
  auto* property = static_cast<const mpv_event_property*>(event.data);
  // No sound (a take without one, or just after a seek): the pictures'
  // time is all there is.
  if (event.error < 0 || !property || property->format != MPV_FORMAT_DOUBLE || !property->data) {
    soundTime_.reset();
    return;
  }
  timeAdvanced(*static_cast<double*>(property->data), Clock::sound);
}

void MpvPlayer::checkEndTime() {
  if (!playing_ || !loaded_ || !endTime_ || time_ < *endTime_ - Epsilon)
    return;
  playing_ = false;
  setPaused(true);
  if (!endReported_)
    reportEnd();
}

void MpvPlayer::reportEnd() {
  endReported_ = true;
  // Last thing done: the callback may load another file or delete us.
  if (onEndOfItem)
    onEndOfItem(item_);
}

} // namespace vidorel
