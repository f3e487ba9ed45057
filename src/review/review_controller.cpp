#include "review/review_controller.h"

#include <cmath>

namespace vidorel {
namespace fs = std::filesystem;

std::string_view reviewButtonLabel(ReviewButton button) {
  switch (button) {
  case ReviewButton::deleteAndRetake:
    return "Delete and Retake (Ctrl+Shift+R)";
  case ReviewButton::approveAndNewTake:
    return "Approve and New Take";
  case ReviewButton::approveAndNewScene:
    return "Approve and New Scene";
  case ReviewButton::approve:
    return "Approve";
  case ReviewButton::newTake:
    return "New Take";
  case ReviewButton::newScene:
    return "New Scene";
  case ReviewButton::closeRecording:
    return "Close Recording";
  }
  return "";
}

namespace {

// The take of the session with this id, else the first with this file name.
const Take* findTake(const Session& session, const std::optional<Uuid>& takeID,
                     const std::string& filename) {
  if (takeID) {
    for (const RecordingScene& scene : session.scenes) {
      for (const Take& take : scene.takes) {
        if (take.id == *takeID)
          return &take;
      }
    }
  }
  for (const RecordingScene& scene : session.scenes) {
    for (const Take& take : scene.takes) {
      if (take.filename == filename)
        return &take;
    }
  }
  return nullptr;
}

} // namespace

ReviewController::ReviewController(ReviewControllerDependencies deps)
    : deps_(std::move(deps)), trimBar_(trimStart_, trimEnd_, [this] { saveTrim(); }),
      self_(std::make_shared<ReviewController*>(this)) {
  seenTakeURL_ = deps_.manager.currentTakeURL();
  observer_ = deps_.manager.addObserver([this] { coordinatorChanged(); });
}

ReviewController::~ReviewController() {
  *self_ = nullptr;
  deps_.manager.removeObserver(observer_);
  // The bar's observer goes before the player it watches.
  trimBar_.update(false, 0, nullptr);
  if (player_) {
    player_->pause();
    player_->onEndOfItem = nullptr;
  }
}

std::string ReviewController::title() const {
  const std::optional<Session>& session = deps_.manager.currentSession();
  int scene = session ? session->currentSceneIndex + 1 : 1;
  return "Review — Scene " + std::to_string(scene);
}

void ReviewController::windowDidAppear() {
  const std::optional<fs::path>& url = deps_.manager.currentTakeURL();
  deps_.manager.logger().info(LogCategory::review,
                              "onAppear url=" + (url ? url->filename().string() : "nil"));
  appeared_ = true;
  seenTakeURL_ = url;
  showCurrentTake();
}

void ReviewController::coordinatorChanged() {
  // A new take always takes the player over from a preview.
  if (appeared_ && deps_.manager.currentTakeURL() != seenTakeURL_) {
    seenTakeURL_ = deps_.manager.currentTakeURL();
    showCurrentTake();
    return;
  }
  refresh();
}

void ReviewController::showCurrentTake() {
  const std::optional<fs::path>& url = deps_.manager.currentTakeURL();
  if (url && isUsableTakeFile(*url)) {
    previewingTakeID_.reset();
    std::string filename = url->filename().string();
    loadedFilename_ = filename;
    loadTrims(std::nullopt, filename);
    putIntoPlayer(*url);
    startProbe(*url, filename);
    refresh();
    return;
  }
  previewingTakeID_.reset();
  loadedFilename_.reset();
  dropPlayer();
  takeDuration_ = 0;
  trimStart_ = 0;
  trimEnd_ = 0;
  refresh();
}

void ReviewController::selectTakeForPreview(const Uuid& takeID, const fs::path& file) {
  previewingTakeID_ = takeID;
  loadTake(takeID, file);
}

void ReviewController::loadTake(const std::optional<Uuid>& takeID, const fs::path& file) {
  std::string filename = file.filename().string();
  // The take already on screen is not loaded again (which would rewind it).
  if (loadedFilename_ == filename && previewingTakeID_ == takeID && player_)
    return;
  // A file that cannot be played leaves the previous movie on screen.
  if (!isUsableTakeFile(file))
    return;
  if (takeID)
    previewingTakeID_ = takeID;
  loadedFilename_ = filename;
  loadTrims(takeID, filename);
  putIntoPlayer(file);
  startProbe(file, filename);
  refresh();
}

void ReviewController::putIntoPlayer(const fs::path& file) {
  if (!player_) {
    player_ = deps_.makePlayer();
    std::weak_ptr<ReviewController*> weak = self_;
    player_->onEndOfItem = [weak](Player::ItemID item) {
      std::shared_ptr<ReviewController*> self = weak.lock();
      if (self && *self)
        (*self)->endOfItem(item);
    };
  } else {
    player_->pause();
  }
  player_->load(file);
  applyTrims();
}

void ReviewController::loadTrims(const std::optional<Uuid>& takeID, const std::string& filename) {
  const std::optional<Session>& session = deps_.manager.currentSession();
  const Take* take = session ? findTake(*session, takeID, filename) : nullptr;
  if (take) {
    takeDuration_ = take->duration;
    trimStart_ = take->trimStart;
    trimEnd_ = take->trimEnd;
    return;
  }
  // The pending take is not part of the session yet: all of it is kept.
  takeDuration_ = deps_.manager.pendingTakeDuration();
  trimStart_ = 0;
  trimEnd_ = takeDuration_;
}

void ReviewController::applyTrims() {
  if (trimStart_ > 0.01)
    player_->seek(trimStart_);
  if (player_->currentItem() == 0)
    return;
  if (takeDuration_ > 0 && trimEnd_ < takeDuration_ - 0.01)
    player_->setEndTime(trimEnd_);
  else
    player_->setEndTime(std::nullopt);
}

void ReviewController::startProbe(const fs::path& file, const std::string& filename) {
  if (!deps_.probeDuration)
    return;
  std::weak_ptr<ReviewController*> weak = self_;
  deps_.probeDuration(file, [weak, filename](std::optional<double> seconds) {
    std::shared_ptr<ReviewController*> self = weak.lock();
    if (self && *self)
      (*self)->probeAnswered(filename, seconds);
  });
}

void ReviewController::probeAnswered(const std::string& filename, std::optional<double> seconds) {
  if (!seconds || !std::isfinite(*seconds) || *seconds <= 0)
    return;
  // A newer load wins.
  if (loadedFilename_ != filename)
    return;
  double measured = *seconds;
  if (std::abs(takeDuration_ - measured) <= 0.01)
    return;
  double oldDuration = takeDuration_;
  double oldEnd = trimEnd_;
  takeDuration_ = measured;
  // A range that ended at the end of the movie still does.
  if (std::abs(oldEnd - oldDuration) < 0.01)
    trimEnd_ = measured;
  refresh();
}

const Take* ReviewController::shownTake() const {
  const std::optional<Session>& session = deps_.manager.currentSession();
  if (!session || !loadedFilename_)
    return nullptr;
  return findTake(*session, previewingTakeID_, *loadedFilename_);
}

void ReviewController::saveTrim() {
  if (!loadedFilename_)
    return;
  const Take* take = shownTake();
  if (take) {
    deps_.manager.setTrim(take->id, trimStart_, trimEnd_);
    return;
  }
  // The take waiting for approval is not stored yet; the coordinator keeps
  // its range for the moment it joins the scene.
  const std::optional<fs::path>& pending = deps_.manager.currentTakeURL();
  if (pending && pending->filename().string() == *loadedFilename_)
    deps_.manager.setPendingTrim(trimStart_, trimEnd_);
}

bool ReviewController::handleSpace() {
  if (isRenamingScene_ || !player_)
    return false;
  if (player_->isPlaying()) {
    player_->pause();
    return true;
  }
  double now = player_->currentTime();
  std::optional<double> end;
  if (player_->currentItem() != 0) {
    end = player_->endTime();
    if (!end)
      end = player_->itemDuration();
  }
  if (end && *end > 0 && now >= *end - 0.05) {
    // At the end of the range Space starts it over.
    std::weak_ptr<Player> weak = player_;
    player_->seek(trimStart_, [weak] {
      if (std::shared_ptr<Player> player = weak.lock())
        player->play();
    });
    return true;
  }
  player_->play();
  return true;
}

void ReviewController::endOfItem(Player::ItemID item) {
  if (!player_ || item != player_->currentItem())
    return;
  const std::optional<Session>& session = deps_.manager.currentSession();
  if (!session || !loadedFilename_)
    return;
  std::vector<Take> selected = session->selectedTakes();
  size_t position = selected.size();
  for (size_t i = 0; i < selected.size(); ++i) {
    bool same = previewingTakeID_ ? selected[i].id == *previewingTakeID_
                                  : selected[i].filename == *loadedFilename_;
    if (same) {
      position = i;
      break;
    }
  }
  if (position + 1 >= selected.size())
    return;
  // The whole cut plays on, take after take.
  const Take& next = selected[position + 1];
  previewingTakeID_ = next.id;
  loadTake(next.id, session->takeFile(next));
  if (player_ && loadedFilename_ == next.filename)
    player_->play();
}

bool ReviewController::isEnabled(ReviewButton button) const {
  bool reviewing = deps_.manager.state() == AppState::reviewing;
  switch (button) {
  case ReviewButton::deleteAndRetake:
    return reviewing;
  case ReviewButton::approveAndNewTake:
  case ReviewButton::approveAndNewScene:
  case ReviewButton::approve:
    return reviewing && deps_.manager.isPendingTakeUsable();
  case ReviewButton::newTake:
  case ReviewButton::newScene:
    return !reviewing;
  case ReviewButton::closeRecording:
    return true;
  }
  return false;
}

void ReviewController::press(ReviewButton button) {
  if (!isEnabled(button))
    return;
  AppStateManager& manager = deps_.manager;
  auto dismiss = [this] {
    if (deps_.dismissWindow)
      deps_.dismissWindow("review");
  };
  // Runs after the current event; the window may be gone by then.
  auto launchStartTake = [&manager] {
    manager.loop().post([&manager] { spawn(manager.startTake()); });
  };
  switch (button) {
  case ReviewButton::deleteAndRetake:
    manager.deleteAndRetake();
    dismiss();
    return;
  case ReviewButton::approveAndNewTake:
    manager.approveAndNewTake();
    dismiss();
    return;
  case ReviewButton::approveAndNewScene:
    manager.approveAndNewScene();
    dismiss();
    return;
  case ReviewButton::approve:
    // The window stays open on the approved take.
    manager.approvePendingTake();
    return;
  case ReviewButton::newTake:
    dismiss();
    launchStartTake();
    return;
  case ReviewButton::newScene:
    manager.nextScene();
    dismiss();
    launchStartTake();
    return;
  case ReviewButton::closeRecording:
    manager.loop().post([&manager] { spawn(manager.closeRecording()); });
    return;
  }
}

void ReviewController::windowWillClose(bool byHand) {
  dropPlayer();
  deps_.activation.setActivationPolicy(ActivationPolicy::accessory);
  if (byHand)
    deps_.manager.reviewWindowDidClose();
}

void ReviewController::dropPlayer() {
  trimBar_.update(false, 0, nullptr);
  if (!player_)
    return;
  player_->pause();
  player_->onEndOfItem = nullptr;
  player_.reset();
}

void ReviewController::refresh() {
  trimBar_.update(showsTrimBar(), takeDuration_, player_);
  if (onChanged)
    onChanged();
}

} // namespace vidorel
