#pragma once

#include "base/uuid.h"
#include "review/player.h"
#include "review/trim_bar.h"
#include "workflow/app_state_manager.h"

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

// The decision buttons under the player, left to right.
enum class ReviewButton {
  deleteAndRetake,
  approveAndNewTake,
  approveAndNewScene,
  approve,
  newTake,
  newScene,
  closeRecording,
};

inline constexpr std::array<ReviewButton, 7> allReviewButtons = {ReviewButton::deleteAndRetake,
                                                                 ReviewButton::approveAndNewTake,
                                                                 ReviewButton::approveAndNewScene,
                                                                 ReviewButton::approve,
                                                                 ReviewButton::newTake,
                                                                 ReviewButton::newScene,
                                                                 ReviewButton::closeRecording};

std::string_view reviewButtonLabel(ReviewButton button);

inline constexpr std::string_view kNoVideoTitle = "No video recorded";
inline constexpr std::string_view kNoVideoDetail =
    "The recording appears to be empty. Check that the screen can be read (on Wayland, that "
    "it was shared in the desktop's screen-sharing dialog).";

struct ReviewControllerDependencies {
  AppStateManager& manager;
  Activation& activation;
  // Makes the window's one player on its first load.
  std::function<std::shared_ptr<Player>()> makePlayer;
  // Measures a movie off the main loop; the answer (nothing when the file
  // cannot be read) arrives on the main loop.
  std::function<void(const std::filesystem::path&, std::function<void(std::optional<double>)>)>
      probeDuration;
  std::function<void(const std::string&)> dismissWindow;
};

// What the review window does: which movie the player shows and with
// which kept range, the trim bar over it, Space, playing the whole cut on
// from take to take, the buttons and closing by hand. A view shows what it
// says and forwards the user's gestures. Main loop only.
class ReviewController {
public:
  explicit ReviewController(ReviewControllerDependencies deps);
  ~ReviewController();
  ReviewController(const ReviewController&) = delete;
  ReviewController& operator=(const ReviewController&) = delete;

  // "Review — Scene N" for the session's current scene (1 without one).
  std::string title() const;

  const std::shared_ptr<Player>& player() const { return player_; }
  const std::optional<Uuid>& previewingTakeID() const { return previewingTakeID_; }
  const std::optional<std::string>& loadedFilename() const { return loadedFilename_; }
  double trimStart() const { return trimStart_; }
  double trimEnd() const { return trimEnd_; }
  double takeDuration() const { return takeDuration_; }
  bool showsTrimBar() const { return takeDuration_ > 0; }
  TrimBar& trimBar() { return trimBar_; }

  // The window came up: logs and shows the coordinator's current take.
  void windowDidAppear();
  // A take clicked in the scene tree.
  void selectTakeForPreview(const Uuid& takeID, const std::filesystem::path& file);
  // A name in the scene tree is being edited: Space belongs to the editor.
  void setRenamingScene(bool renaming) { isRenamingScene_ = renaming; }
  // Space pressed in the window; whether it was used.
  bool handleSpace();

  bool isEnabled(ReviewButton button) const;
  void press(ReviewButton button);

  // The window is closing. byHand: the user closed it (not a dismissal),
  // which throws away a take still waiting for a decision.
  void windowWillClose(bool byHand);

  // Anything drawn changed: the player, the range, the title, the buttons.
  std::function<void()> onChanged;

private:
  void coordinatorChanged();
  void showCurrentTake();
  void loadTake(const std::optional<Uuid>& takeID, const std::filesystem::path& file);
  void putIntoPlayer(const std::filesystem::path& file);
  void loadTrims(const std::optional<Uuid>& takeID, const std::string& filename);
  void applyTrims();
  void startProbe(const std::filesystem::path& file, const std::string& filename);
  void probeAnswered(const std::string& filename, std::optional<double> seconds);
  const Take* shownTake() const;
  void endOfItem(Player::ItemID item);
  void saveTrim();
  void dropPlayer();
  void refresh();

  ReviewControllerDependencies deps_;
  std::shared_ptr<Player> player_;
  std::optional<Uuid> previewingTakeID_;
  std::optional<std::string> loadedFilename_;
  double trimStart_ = 0;
  double trimEnd_ = 0;
  double takeDuration_ = 0;
  bool isRenamingScene_ = false;
  TrimBar trimBar_;

  bool appeared_ = false;
  std::optional<std::filesystem::path> seenTakeURL_;
  AppStateManager::ObserverID observer_ = 0;
  // Probe answers and player reports may arrive after the controller is
  // gone; they check this first.
  std::shared_ptr<ReviewController*> self_;
};

} // namespace vidorel
