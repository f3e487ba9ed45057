#pragma once

#include "base/uuid.h"
#include "model/session.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vidorel {

inline constexpr const char* kSkippedSceneBadge = "skipped";
inline constexpr const char* kDeleteSceneTooltip = "Delete scene";

// Names of the symbols the rows draw.
inline constexpr const char* kTrashSymbol = "trash";
inline constexpr const char* kSelectedSymbol = "checkmark.circle.fill";
inline constexpr const char* kUnselectedSymbol = "circle";
inline constexpr const char* kDeleteTakeSymbol = "xmark.circle.fill";

// Widths of the inline name editors.
inline constexpr int kSceneNameEditorWidth = 140;
inline constexpr int kTakeNameEditorWidth = 120;

// One take under its scene.
struct TakeRowModel {
  Uuid id;
  Uuid sceneID;
  int displayIndex = 1; // 1-based position in the scene
  std::string label;    // the name, or "Take " + displayIndex
  std::optional<std::string> name;
  std::string filename;
  // The trimmed length as "%d:%02d".
  std::string length;
  bool isSelected = false;
  bool isPreviewing = false;
  // The symbol of the selection button.
  const char* selectionSymbol() const { return isSelected ? kSelectedSymbol : kUnselectedSymbol; }
};

// One scene with its takes.
struct SceneRowModel {
  Uuid id;
  int index = 0;     // 0-based position in the session
  std::string label; // the name, or "Scene " + (index + 1)
  std::optional<std::string> name;
  bool isCurrent = false;
  // The scene has takes but none selected: export leaves it out.
  bool isSkipped = false;
  // Only a session of two or more scenes lets one go.
  bool canDelete = false;
  std::vector<TakeRowModel> takes;
};

// The outline of a session, in session order.
std::vector<SceneRowModel> sceneTreeRows(const Session& session,
                                         const std::optional<Uuid>& previewingTakeID);

// The selection the take's button asks for: pressing the selected take's
// button clears the scene's selection, any other take's button selects it.
std::optional<Uuid> selectionAfterToggle(const SceneRowModel& scene, const Uuid& takeID);

// Context menus.
enum class SceneTreeMenuCommand {
  duplicateScene,
  renameScene,
  deleteScene,
  renameTake,
  deleteTake
};

struct SceneTreeMenuItem {
  SceneTreeMenuCommand command;
  std::string title;
  bool operator==(const SceneTreeMenuItem&) const = default;
};

// "Duplicate Scene", "Rename Scene", and "Delete Scene" when the scene may go.
std::vector<SceneTreeMenuItem> sceneContextMenu(const SceneRowModel& scene);
// "Rename Take", "Delete Take".
std::vector<SceneTreeMenuItem> takeContextMenu();

// Drag payloads: plain text with UUIDs in upper case.
std::string scenePayload(const Uuid& sceneID);
// The take's id, "|", the id of its scene.
std::string takePayload(const Uuid& takeID, const Uuid& sceneID);

struct DraggedScene {
  Uuid sceneID;
  bool operator==(const DraggedScene&) const = default;
};
struct DraggedTake {
  Uuid takeID;
  Uuid sourceSceneID;
  bool operator==(const DraggedTake&) const = default;
};
using DragPayload = std::variant<DraggedScene, DraggedTake>;

// One UUID is a scene, two UUIDs around a "|" a take; anything else is not
// ours and gives nothing.
std::optional<DragPayload> parseDragPayload(std::string_view text);

// The session edits the tree asks the coordinator for.
class SceneTreeCommands {
public:
  virtual ~SceneTreeCommands() = default;
  virtual void selectScene(const Uuid& id) = 0;
  virtual void selectTake(const Uuid& sceneID, const std::optional<Uuid>& takeID) = 0;
  virtual void renameScene(const Uuid& id, const std::string& name) = 0;
  virtual void renameTake(const Uuid& sceneID, const Uuid& takeID, const std::string& name) = 0;
  virtual void deleteTake(const Uuid& id) = 0;
  virtual void deleteScene(const Uuid& id) = 0;
  virtual void duplicateScene(const Uuid& id) = 0;
  virtual void moveScene(const Uuid& id, const Uuid& targetID) = 0;
  virtual void moveTake(const Uuid& id, const Uuid& targetSceneID) = 0;
};

// The inline name editor of one scene or take. Return and focus loss
// commit once; Escape cancels, and the end-of-editing that follows a
// cancel (the editor losing focus as it goes away) commits nothing.
class NameEditor {
public:
  enum class End { returnKey, focusLost, cancelMovement };

  // Starts with the item's own name: the empty text when it has none, so
  // that the default label is not taken over as a name.
  void start(const std::optional<std::string>& currentName);
  bool isEditing() const { return editing_; }
  const std::string& text() const { return text_; }
  void setText(std::string text) { text_ = std::move(text); }

  // The editing ended with `text` in the field. Gives the name to commit,
  // or nothing after a cancel or when no editing is in progress.
  std::optional<std::string> end(End reason, std::string text);
  // Escape: stops editing without renaming.
  void cancel();

private:
  bool editing_ = false;
  bool didCancel_ = false;
  std::string text_;
};

// What the item being renamed is.
struct RenameTarget {
  Uuid sceneID;
  std::optional<Uuid> takeID; // nothing: the scene itself
  bool operator==(const RenameTarget&) const = default;
};

// The tree's behaviour: rows from the session, clicks, selections,
// renames, menus and drops turned into the coordinator's edits. A view
// draws what it says and forwards the user's gestures to it.
class SceneTree {
public:
  explicit SceneTree(SceneTreeCommands& commands) : commands_(commands) {}

  // The session as the coordinator published it; nothing empties the tree.
  void setSession(std::optional<Session> session);
  const std::vector<SceneRowModel>& rows() const { return rows_; }
  const SceneRowModel* scene(const Uuid& sceneID) const;
  const TakeRowModel* take(const Uuid& takeID) const;

  // The take shown in the review window; shared with it.
  const std::optional<Uuid>& previewingTakeID() const { return previewingTakeID_; }
  void setPreviewingTakeID(std::optional<Uuid> takeID);
  // Called with the take and its file whenever the tree previews a take.
  std::function<void(const Uuid&, const std::filesystem::path&)> onSelectTakeForPreview;

  // A name is being edited; the review window leaves Space to the editor
  // then. Shared with the review window.
  bool isRenaming() const { return renameTarget_.has_value(); }
  std::function<void(bool)> onRenamingChanged;
  const std::optional<RenameTarget>& renameTarget() const { return renameTarget_; }
  NameEditor& editor() { return editor_; }

  // Gestures.
  // Single click on a scene header: the scene becomes current and, when it
  // has takes, its last take is previewed.
  void clickScene(const Uuid& sceneID);
  void toggleTakeSelection(const Uuid& sceneID, const Uuid& takeID);
  // Single click on a take: its scene becomes current and it is previewed.
  void clickTake(const Uuid& sceneID, const Uuid& takeID);
  void deleteTake(const Uuid& takeID);
  void deleteScene(const Uuid& sceneID);
  void duplicateScene(const Uuid& sceneID);
  void runMenuCommand(SceneTreeMenuCommand command, const Uuid& sceneID,
                      const std::optional<Uuid>& takeID = std::nullopt);

  // Double click or the menu's rename: opens the editor with the name.
  void startRenaming(const RenameTarget& target);
  // Return, focus loss or the cancel movement of the open editor.
  void endRenaming(NameEditor::End reason, std::string text);
  void cancelRenaming();

  // A drop of `payload` on the row of scene `targetSceneID`. Returns
  // whether an edit was asked for; drops on the item's own scene and
  // foreign payloads change nothing.
  bool drop(const Uuid& targetSceneID, std::string_view payload);

private:
  void preview(const RecordingScene& scene, const Take& take);
  const RecordingScene* sessionScene(const Uuid& sceneID) const;
  void setRenameTarget(std::optional<RenameTarget> target);

  SceneTreeCommands& commands_;
  std::optional<Session> session_;
  std::vector<SceneRowModel> rows_;
  std::optional<Uuid> previewingTakeID_;
  std::optional<RenameTarget> renameTarget_;
  NameEditor editor_;
};

} // namespace vidorel
