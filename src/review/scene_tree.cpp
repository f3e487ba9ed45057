#include "review/scene_tree.h"

#include "base/format.h"

namespace vidorel {

std::vector<SceneRowModel> sceneTreeRows(const Session& session,
                                         const std::optional<Uuid>& previewingTakeID) {
  std::vector<SceneRowModel> rows;
  bool canDelete = session.scenes.size() >= 2;
  for (size_t index = 0; index < session.scenes.size(); ++index) {
    const RecordingScene& scene = session.scenes[index];
    SceneRowModel row;
    row.id = scene.id;
    row.index = static_cast<int>(index);
    row.label = sceneLabel(scene, row.index);
    row.name = scene.name;
    row.isCurrent = row.index == session.currentSceneIndex;
    row.canDelete = canDelete;
    // A selection naming a take the scene no longer holds skips the scene
    // on export just as no selection does, so it shows the same badge.
    row.isSkipped = !scene.takes.empty() && scene.selectedTake() == nullptr;
    for (size_t position = 0; position < scene.takes.size(); ++position) {
      const Take& take = scene.takes[position];
      TakeRowModel takeRow;
      takeRow.id = take.id;
      takeRow.sceneID = scene.id;
      takeRow.displayIndex = static_cast<int>(position) + 1;
      takeRow.label = takeLabel(take, static_cast<int>(position));
      takeRow.name = take.name;
      takeRow.filename = take.filename;
      takeRow.length = formatMinutesSeconds(take.effectiveDuration());
      takeRow.isSelected = scene.selectedTakeID == take.id;
      takeRow.isPreviewing = previewingTakeID == take.id;
      row.takes.push_back(std::move(takeRow));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::optional<Uuid> selectionAfterToggle(const SceneRowModel& scene, const Uuid& takeID) {
  for (const TakeRowModel& take : scene.takes)
    if (take.id == takeID && take.isSelected)
      return std::nullopt;
  return takeID;
}

std::vector<SceneTreeMenuItem> sceneContextMenu(const SceneRowModel& scene) {
  std::vector<SceneTreeMenuItem> items = {
      {SceneTreeMenuCommand::duplicateScene, "Duplicate Scene"},
      {SceneTreeMenuCommand::renameScene, "Rename Scene"},
  };
  if (scene.canDelete)
    items.push_back({SceneTreeMenuCommand::deleteScene, "Delete Scene"});
  return items;
}

std::vector<SceneTreeMenuItem> takeContextMenu() {
  return {{SceneTreeMenuCommand::renameTake, "Rename Take"},
          {SceneTreeMenuCommand::deleteTake, "Delete Take"}};
}

std::string scenePayload(const Uuid& sceneID) {
  return sceneID.string();
}

std::string takePayload(const Uuid& takeID, const Uuid& sceneID) {
  return takeID.string() + "|" + sceneID.string();
}

std::optional<DragPayload> parseDragPayload(std::string_view text) {
  size_t bar = text.find('|');
  if (bar == std::string_view::npos) {
    std::optional<Uuid> scene = Uuid::parse(text);
    if (!scene)
      return std::nullopt;
    return DraggedScene{*scene};
  }
  std::string_view rest = text.substr(bar + 1);
  if (rest.find('|') != std::string_view::npos)
    return std::nullopt;
  std::optional<Uuid> take = Uuid::parse(text.substr(0, bar));
  std::optional<Uuid> scene = Uuid::parse(rest);
  if (!take || !scene)
    return std::nullopt;
  return DraggedTake{*take, *scene};
}

void NameEditor::start(const std::optional<std::string>& currentName) {
  text_ = currentName.value_or(std::string());
  editing_ = true;
  didCancel_ = false;
}

std::optional<std::string> NameEditor::end(End reason, std::string text) {
  if (didCancel_ || reason == End::cancelMovement) {
    didCancel_ = false;
    return std::nullopt;
  }
  // Return and then the focus leaving the closing editor both report the
  // end of editing; only the first one renames.
  if (!editing_)
    return std::nullopt;
  text_ = std::move(text);
  editing_ = false;
  return text_;
}

void NameEditor::cancel() {
  if (!editing_)
    return;
  didCancel_ = true;
  editing_ = false;
}

void SceneTree::setSession(std::optional<Session> session) {
  session_ = std::move(session);
  rows_ = session_ ? sceneTreeRows(*session_, previewingTakeID_) : std::vector<SceneRowModel>{};
  // An item deleted while its name was being edited takes the editor with
  // it; nothing is renamed.
  if (renameTarget_) {
    bool gone = renameTarget_->takeID ? take(*renameTarget_->takeID) == nullptr
                                      : scene(renameTarget_->sceneID) == nullptr;
    if (gone)
      cancelRenaming();
  }
}

const SceneRowModel* SceneTree::scene(const Uuid& sceneID) const {
  for (const SceneRowModel& row : rows_)
    if (row.id == sceneID)
      return &row;
  return nullptr;
}

const TakeRowModel* SceneTree::take(const Uuid& takeID) const {
  for (const SceneRowModel& row : rows_)
    for (const TakeRowModel& take : row.takes)
      if (take.id == takeID)
        return &take;
  return nullptr;
}

const RecordingScene* SceneTree::sessionScene(const Uuid& sceneID) const {
  if (!session_)
    return nullptr;
  for (const RecordingScene& scene : session_->scenes)
    if (scene.id == sceneID)
      return &scene;
  return nullptr;
}

void SceneTree::setPreviewingTakeID(std::optional<Uuid> takeID) {
  previewingTakeID_ = std::move(takeID);
  for (SceneRowModel& row : rows_)
    for (TakeRowModel& take : row.takes)
      take.isPreviewing = previewingTakeID_ == take.id;
}

void SceneTree::preview(const RecordingScene& scene, const Take& take) {
  (void)scene;
  setPreviewingTakeID(take.id);
  if (onSelectTakeForPreview)
    onSelectTakeForPreview(take.id, session_->takeFile(take));
}

void SceneTree::clickScene(const Uuid& sceneID) {
  const RecordingScene* found = sessionScene(sceneID);
  if (!found)
    return;
  // Copy first: the command publishes a new session, which may arrive here
  // before it returns.
  RecordingScene scene = *found;
  Session session = *session_;
  commands_.selectScene(sceneID);
  if (scene.takes.empty())
    return;
  const Take& last = scene.takes.back();
  setPreviewingTakeID(last.id);
  if (onSelectTakeForPreview)
    onSelectTakeForPreview(last.id, session.takeFile(last));
}

void SceneTree::toggleTakeSelection(const Uuid& sceneID, const Uuid& takeID) {
  const SceneRowModel* row = scene(sceneID);
  if (!row)
    return;
  std::optional<Uuid> selection = selectionAfterToggle(*row, takeID);
  commands_.selectTake(sceneID, selection);
}

void SceneTree::clickTake(const Uuid& sceneID, const Uuid& takeID) {
  const RecordingScene* found = sessionScene(sceneID);
  if (!found)
    return;
  const Take* foundTake = found->take(takeID);
  if (!foundTake)
    return;
  Take take = *foundTake;
  std::filesystem::path file = session_->takeFile(take);
  commands_.selectScene(sceneID);
  setPreviewingTakeID(take.id);
  if (onSelectTakeForPreview)
    onSelectTakeForPreview(take.id, file);
}

void SceneTree::deleteTake(const Uuid& takeID) {
  commands_.deleteTake(takeID);
}

void SceneTree::deleteScene(const Uuid& sceneID) {
  const SceneRowModel* row = scene(sceneID);
  // The last scene cannot go: the tree offers no way to ask.
  if (!row || !row->canDelete)
    return;
  commands_.deleteScene(sceneID);
}

void SceneTree::duplicateScene(const Uuid& sceneID) {
  commands_.duplicateScene(sceneID);
}

void SceneTree::runMenuCommand(SceneTreeMenuCommand command, const Uuid& sceneID,
                               const std::optional<Uuid>& takeID) {
  switch (command) {
  case SceneTreeMenuCommand::duplicateScene:
    duplicateScene(sceneID);
    return;
  case SceneTreeMenuCommand::renameScene:
    startRenaming({sceneID, std::nullopt});
    return;
  case SceneTreeMenuCommand::deleteScene:
    deleteScene(sceneID);
    return;
  case SceneTreeMenuCommand::renameTake:
    if (takeID)
      startRenaming({sceneID, takeID});
    return;
  case SceneTreeMenuCommand::deleteTake:
    if (takeID)
      deleteTake(*takeID);
    return;
  }
}

void SceneTree::setRenameTarget(std::optional<RenameTarget> target) {
  bool was = isRenaming();
  renameTarget_ = std::move(target);
  if (was != isRenaming() && onRenamingChanged)
    onRenamingChanged(isRenaming());
}

void SceneTree::startRenaming(const RenameTarget& target) {
  std::optional<std::string> name;
  if (target.takeID) {
    const TakeRowModel* row = take(*target.takeID);
    if (!row)
      return;
    name = row->name;
  } else {
    const SceneRowModel* row = scene(target.sceneID);
    if (!row)
      return;
    name = row->name;
  }
  // One editor at a time: a rename in progress elsewhere is given up.
  if (renameTarget_ && editor_.isEditing())
    editor_.cancel();
  editor_.start(name);
  renameTarget_.reset();
  setRenameTarget(target);
}

void SceneTree::endRenaming(NameEditor::End reason, std::string text) {
  std::optional<std::string> name = editor_.end(reason, std::move(text));
  if (!name || !renameTarget_)
    return;
  RenameTarget target = *renameTarget_;
  setRenameTarget(std::nullopt);
  if (target.takeID)
    commands_.renameTake(target.sceneID, *target.takeID, *name);
  else
    commands_.renameScene(target.sceneID, *name);
}

void SceneTree::cancelRenaming() {
  editor_.cancel();
  setRenameTarget(std::nullopt);
}

bool SceneTree::drop(const Uuid& targetSceneID, std::string_view payload) {
  std::optional<DragPayload> parsed = parseDragPayload(payload);
  if (!parsed)
    return false;
  if (const auto* dragged = std::get_if<DraggedScene>(&*parsed)) {
    if (dragged->sceneID == targetSceneID)
      return false;
    commands_.moveScene(dragged->sceneID, targetSceneID);
    return true;
  }
  const auto& dragged = std::get<DraggedTake>(*parsed);
  if (dragged.sourceSceneID == targetSceneID)
    return false;
  commands_.moveTake(dragged.takeID, targetSceneID);
  return true;
}

} // namespace vidorel
