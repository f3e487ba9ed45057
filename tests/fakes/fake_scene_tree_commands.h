#pragma once

#include "review/scene_tree.h"

#include <string>
#include <vector>

namespace vidorel::testing {

// Records the edits the scene tree asks for, one line each
// ("selectTake <scene> <take|none>"), and optionally applies the simple ones
// to a session so that the tree can be fed what the coordinator would
// publish.
class FakeSceneTreeCommands final : public SceneTreeCommands {
public:
  std::vector<std::string> calls;
  // When set, selections, renames and take deletions are applied to it.
  Session* session = nullptr;
  // Called after every applied edit, like the coordinator's observers.
  std::function<void()> published;

  void selectScene(const Uuid& id) override {
    calls.push_back("selectScene " + id.string());
    if (!session)
      return;
    for (size_t i = 0; i < session->scenes.size(); ++i)
      if (session->scenes[i].id == id)
        session->currentSceneIndex = static_cast<int>(i);
    publish();
  }
  void selectTake(const Uuid& sceneID, const std::optional<Uuid>& takeID) override {
    calls.push_back("selectTake " + sceneID.string() + " " +
                    (takeID ? takeID->string() : std::string("none")));
    if (RecordingScene* scene = find(sceneID)) {
      scene->selectedTakeID = takeID;
      publish();
    }
  }
  void renameScene(const Uuid& id, const std::string& name) override {
    calls.push_back("renameScene " + id.string() + " '" + name + "'");
    if (RecordingScene* scene = find(id)) {
      scene->name = name.empty() ? std::nullopt : std::optional<std::string>(name);
      publish();
    }
  }
  void renameTake(const Uuid& sceneID, const Uuid& takeID, const std::string& name) override {
    calls.push_back("renameTake " + sceneID.string() + " " + takeID.string() + " '" + name + "'");
    if (RecordingScene* scene = find(sceneID))
      for (Take& take : scene->takes)
        if (take.id == takeID) {
          take.name = name.empty() ? std::nullopt : std::optional<std::string>(name);
          publish();
        }
  }
  void deleteTake(const Uuid& id) override {
    calls.push_back("deleteTake " + id.string());
    if (!session)
      return;
    for (RecordingScene& scene : session->scenes)
      scene.removeTake(id);
    publish();
  }
  void deleteScene(const Uuid& id) override { calls.push_back("deleteScene " + id.string()); }
  void duplicateScene(const Uuid& id) override { calls.push_back("duplicateScene " + id.string()); }
  void moveScene(const Uuid& id, const Uuid& targetID) override {
    calls.push_back("moveScene " + id.string() + " " + targetID.string());
  }
  void moveTake(const Uuid& id, const Uuid& targetSceneID) override {
    calls.push_back("moveTake " + id.string() + " " + targetSceneID.string());
  }

private:
  RecordingScene* find(const Uuid& id) {
    if (!session)
      return nullptr;
    for (RecordingScene& scene : session->scenes)
      if (scene.id == id)
        return &scene;
    return nullptr;
  }
  void publish() {
    if (published)
      published();
  }
};

} // namespace vidorel::testing
