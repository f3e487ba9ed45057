#pragma once

#include "review/review_controller.h"

#include <QWidget>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

class QLabel;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace vidorel {

class SceneTreeView;
class TrimBarView;

// Makes the window's player, drawing into the given container.
using ReviewPlayerFactory = std::function<std::shared_ptr<Player>(QWidget* container)>;

// The review window: the scene tree on the left, the player, the trim bar
// and the decision buttons on the right. Everything it decides is the
// controller's; this only lays it out and forwards keys and clicks.
class ReviewWindowView final : public QWidget {
public:
  ReviewWindowView(AppStateManager& manager, Activation& activation, ReviewPlayerFactory makePlayer,
                   std::function<void(const std::string&)> dismissWindow,
                   QWidget* parent = nullptr);
  ~ReviewWindowView() override;

  ReviewController& controller() { return *controller_; }
  QPushButton* button(ReviewButton which) const { return buttons_.at(which); }
  SceneTreeView* sceneTree() const { return tree_; }
  TrimBarView* trimBarView() const { return trimBar_; }
  bool showsPlaceholder() const;

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  struct ProbeThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void refresh();
  void probeOffTheMainLoop(MainLoop& loop, const std::filesystem::path& file,
                           std::function<void(std::optional<double>)> done);

  std::unique_ptr<ReviewController> controller_;
  SceneTreeView* tree_ = nullptr;
  QStackedWidget* screen_ = nullptr;
  QWidget* placeholder_ = nullptr;
  QWidget* movie_ = nullptr;
  TrimBarView* trimBar_ = nullptr;
  std::map<ReviewButton, QPushButton*> buttons_;
  bool appeared_ = false;
  std::vector<ProbeThread> probes_;
};

} // namespace vidorel
