#pragma once

#include "review/scene_tree.h"

#include <functional>
#include <string>
#include <vector>

namespace vidorel::testing {

// Records the edits the tree asks for, one line each, and publishes the
// session again during each, as the coordinator does before it returns.
class FakeSceneTreeCommands final : public SceneTreeCommands {
public:
  std::vector<std::string> calls;
  std::function<void()> published;

  void selectScene(const Uuid& id) override { add("selectScene " + id.string()); }
  void selectTake(const Uuid& sceneID, const std::optional<Uuid>& takeID) override {
    add("selectTake " + sceneID.string() + " " + (takeID ? takeID->string() : "none"));
  }
  void renameScene(const Uuid& id, const std::string& name) override {
    add("renameScene " + id.string() + " '" + name + "'");
  }
  void renameTake(const Uuid& sceneID, const Uuid& takeID, const std::string& name) override {
    add("renameTake " + sceneID.string() + " " + takeID.string() + " '" + name + "'");
  }
  void deleteTake(const Uuid& id) override { add("deleteTake " + id.string()); }
  void deleteScene(const Uuid& id) override { add("deleteScene " + id.string()); }
  void duplicateScene(const Uuid& id) override { add("duplicateScene " + id.string()); }
  void moveScene(const Uuid& id, const Uuid& targetID) override {
    add("moveScene " + id.string() + " " + targetID.string());
  }
  void moveTake(const Uuid& id, const Uuid& targetSceneID) override {
    add("moveTake " + id.string() + " " + targetSceneID.string());
  }

private:
  void add(std::string call) {
    calls.push_back(std::move(call));
    if (published)
      published();
  }
};

} // namespace vidorel::testing
