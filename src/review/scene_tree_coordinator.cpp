#include "review/scene_tree_view.h"

#include "workflow/app_state_manager.h"

namespace vidorel {

namespace {

// The tree's edits are the coordinator's session edits.
class CoordinatorSceneTreeCommands final : public SceneTreeCommands {
public:
  explicit CoordinatorSceneTreeCommands(AppStateManager& manager) : manager_(manager) {}

  void selectScene(const Uuid& id) override { manager_.selectScene(id); }
  void selectTake(const Uuid& sceneID, const std::optional<Uuid>& takeID) override {
    manager_.selectTake(sceneID, takeID);
  }
  void renameScene(const Uuid& id, const std::string& name) override {
    manager_.renameScene(id, name);
  }
  void renameTake(const Uuid& sceneID, const Uuid& takeID, const std::string& name) override {
    manager_.renameTake(sceneID, takeID, name);
  }
  void deleteTake(const Uuid& id) override { manager_.deleteTake(id); }
  void deleteScene(const Uuid& id) override { manager_.deleteScene(id); }
  void duplicateScene(const Uuid& id) override { manager_.duplicateScene(id); }
  void moveScene(const Uuid& id, const Uuid& targetID) override {
    manager_.moveScene(id, targetID);
  }
  void moveTake(const Uuid& id, const Uuid& targetSceneID) override {
    manager_.moveTake(id, targetSceneID);
  }

private:
  AppStateManager& manager_;
};

} // namespace

SceneTreeView* makeSceneTreeView(AppStateManager& manager, QWidget* parent) {
  auto* view = new SceneTreeView(std::make_shared<CoordinatorSceneTreeCommands>(manager), parent);
  view->setSession(manager.currentSession());
  AppStateManager::ObserverID observer =
      manager.addObserver([&manager, view] { view->setSession(manager.currentSession()); });
  QObject::connect(view, &QObject::destroyed,
                   [&manager, observer] { manager.removeObserver(observer); });
  return view;
}

} // namespace vidorel
