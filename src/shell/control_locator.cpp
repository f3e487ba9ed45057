#include "shell/control_locator.h"

#include "base/format.h"
#include "review/review_window_view.h"
#include "review/scene_tree_view.h"
#include "review/trim_bar.h"
#include "review/trim_bar_view.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QToolButton>

#include <sstream>

namespace vidorel {

namespace {

std::string describeRect(const QRect& rect) {
  return formatString("%d %d %d %d", rect.x(), rect.y(), rect.width(), rect.height());
}

std::string globalRect(const QWidget* widget) {
  if (!widget || !widget->isVisible())
    return "none";
  return describeRect(QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()));
}

const RecordingScene* sceneAt(const std::optional<Session>& session, int number) {
  if (!session || number < 1 || number > static_cast<int>(session->scenes.size()))
    return nullptr;
  return &session->scenes[static_cast<size_t>(number - 1)];
}

const Take* takeAt(const std::optional<Session>& session, int sceneNumber, int takeNumber) {
  const RecordingScene* scene = sceneAt(session, sceneNumber);
  if (!scene || takeNumber < 1 || takeNumber > static_cast<int>(scene->takes.size()))
    return nullptr;
  return &scene->takes[static_cast<size_t>(takeNumber - 1)];
}

ReviewWindowView* asReviewWindow(QWidget* window) {
  auto* review = dynamic_cast<ReviewWindowView*>(window);
  return review && review->isVisible() ? review : nullptr;
}

std::string locateButton(const QString& text) {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible())
      continue;
    for (QAbstractButton* button : top->findChildren<QAbstractButton*>()) {
      if (button->isVisible() && button->text() == text)
        return globalRect(button);
    }
  }
  return "none";
}

std::string locateWindow(const QString& title) {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->isVisible() && top->windowTitle() == title)
      return describeRect(top->frameGeometry());
  }
  return "none";
}

std::string locateTrimHandle(ReviewWindowView* review, TrimHandle handle) {
  if (!review)
    return "none";
  TrimBarView* view = review->trimBarView();
  if (!view->isVisible())
    return "none";
  TrimBarGeometry geometry = review->controller().trimBar().geometry(view->width());
  double centre = handle == TrimHandle::start ? geometry.startHandleX : geometry.endHandleX;
  int left = static_cast<int>(centre - TrimBar::handleWidth / 2);
  QPoint origin = view->mapToGlobal(QPoint(left, 0));
  return describeRect(QRect(
      origin, QSize(static_cast<int>(TrimBar::handleWidth), static_cast<int>(TrimBar::barHeight))));
}

std::string locateMenuEntry(QMenu* menu, const QString& text) {
  if (!menu || !menu->isVisible())
    return "none";
  for (QAction* action : menu->actions()) {
    // The key equivalent follows the title after a tab.
    QString shown = action->text().section(QLatin1Char('\t'), 0, 0);
    shown.remove(QLatin1Char('&'));
    if (shown == text) {
      QRect rect = menu->actionGeometry(action);
      return describeRect(QRect(menu->mapToGlobal(rect.topLeft()), rect.size()));
    }
  }
  return "none";
}

} // namespace

std::string locateOnScreen(const std::string& what, const std::optional<Session>& session,
                           QWidget* reviewWindow, QMenu* trayMenu) {
  std::istringstream words(what);
  std::string kind;
  words >> kind;
  std::string rest;
  std::getline(words >> std::ws, rest);
  if (kind == "button")
    return locateButton(QString::fromStdString(rest));
  if (kind == "window")
    return locateWindow(QString::fromStdString(rest));
  if (kind == "menu")
    return locateMenuEntry(trayMenu, QString::fromStdString(rest));

  ReviewWindowView* review = asReviewWindow(reviewWindow);
  if (kind == "trim-start")
    return locateTrimHandle(review, TrimHandle::start);
  if (kind == "trim-end")
    return locateTrimHandle(review, TrimHandle::end);
  if (!review)
    return "none";
  SceneTreeView* tree = review->sceneTree();
  std::istringstream numbers(rest);
  int sceneNumber = 0;
  int takeNumber = 0;
  numbers >> sceneNumber >> takeNumber;
  if (kind == "scene" || kind == "scene-name") {
    const RecordingScene* scene = sceneAt(session, sceneNumber);
    SceneHeaderWidget* header = scene ? tree->sceneHeader(scene->id) : nullptr;
    if (!header)
      return "none";
    return kind == "scene" ? globalRect(header) : globalRect(header->nameLabel());
  }
  if (kind == "take" || kind == "circle") {
    const Take* take = takeAt(session, sceneNumber, takeNumber);
    TakeRowWidget* row = take ? tree->takeRow(take->id) : nullptr;
    if (!row)
      return "none";
    return kind == "take" ? globalRect(row) : globalRect(row->selectButton());
  }
  return "none";
}

std::string describeReviewPlayback(QWidget* reviewWindow) {
  ReviewWindowView* review = asReviewWindow(reviewWindow);
  if (!review || !review->controller().player())
    return "none";
  ReviewController& controller = review->controller();
  const Player& player = *controller.player();
  return formatString("%s %.3f %.3f %.3f", player.isPlaying() ? "playing" : "paused",
                      player.currentTime(), controller.trimStart(), controller.trimEnd());
}

} // namespace vidorel
