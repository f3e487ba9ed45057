#pragma once

// moc cannot parse the standard library headers the logic pulls in.
#ifndef Q_MOC_RUN
#include "review/scene_tree.h"
#endif

#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QTreeWidget>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <set>

class QLabel;
class QToolButton;

namespace vidorel {

class AppStateManager;

// The inline name editor: Return and focus loss end the editing, Escape
// cancels it. A retired editor (its row is being replaced) reports
// nothing.
class InlineNameEditor final : public QLineEdit {
  Q_OBJECT
public:
  explicit InlineNameEditor(QWidget* parent = nullptr);
  void retire() { retired_ = true; }

signals:
  void ended(NameEditor::End reason, const QString& text);
  void cancelled();

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

private:
  bool retired_ = false;
};

class SceneTreeView;

// Common to both row kinds: clicks, double clicks, dragging out a payload
// and taking drops for a scene.
class SceneTreeRowWidget : public QWidget {
  Q_OBJECT
public:
  SceneTreeRowWidget(SceneTreeView& view, Uuid sceneID, QWidget* parent = nullptr);
  const Uuid& sceneID() const { return sceneID_; }
  InlineNameEditor* editor() const { return editor_; }
  QLabel* nameLabel() const { return name_; }
  bool isDropTarget() const { return dropTarget_; }
  void retire();

protected:
  virtual void clicked() = 0;
  virtual void doubleClicked() = 0;
  virtual std::string dragPayload() const = 0;

  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

  // The name, or its editor while renaming.
  void setUpName(const std::string& label, bool editing, const std::string& editText,
                 int editorWidth);

  SceneTreeView& view_;
  Uuid sceneID_;
  QLabel* name_ = nullptr;
  InlineNameEditor* editor_ = nullptr;
  bool dropTarget_ = false;

private:
  QPoint pressPosition_;
  bool pressed_ = false;
  bool dragged_ = false;
};

// The header of a scene: name, "skipped", the trash button.
class SceneHeaderWidget final : public SceneTreeRowWidget {
  Q_OBJECT
public:
  SceneHeaderWidget(SceneTreeView& view, const SceneRowModel& row, bool editing,
                    const std::string& editText);
  QLabel* skippedLabel() const { return skipped_; }
  QToolButton* trashButton() const { return trash_; }
  bool isCurrent() const { return current_; }

protected:
  void clicked() override;
  void doubleClicked() override;
  std::string dragPayload() const override;
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

private:
  QLabel* skipped_ = nullptr;
  QToolButton* trash_ = nullptr;
  bool current_ = false;
};

// One take: selection circle, name, length, the delete button on hover.
class TakeRowWidget final : public SceneTreeRowWidget {
  Q_OBJECT
public:
  TakeRowWidget(SceneTreeView& view, const TakeRowModel& row, bool editing,
                const std::string& editText);
  const Uuid& takeID() const { return takeID_; }
  QToolButton* selectButton() const { return select_; }
  QToolButton* deleteButton() const { return delete_; }
  QLabel* lengthLabel() const { return length_; }
  bool isHovering() const { return hovering_; }
  bool isPreviewing() const { return previewing_; }
  void setPreviewing(bool on);

protected:
  void clicked() override;
  void doubleClicked() override;
  std::string dragPayload() const override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

private:
  Uuid takeID_;
  QToolButton* select_ = nullptr;
  QLabel* length_ = nullptr;
  QToolButton* delete_ = nullptr;
  bool hovering_ = false;
  bool previewing_ = false;
};

// The outline of scenes and takes beside the player in the review window.
// It is rebuilt from every session the coordinator publishes; expansion and
// a rename in progress survive the rebuild by id.
class SceneTreeView final : public QTreeWidget {
  Q_OBJECT
public:
  explicit SceneTreeView(std::shared_ptr<SceneTreeCommands> commands, QWidget* parent = nullptr);
  ~SceneTreeView() override;

  void setSession(std::optional<Session> session);
  SceneTree& logic() { return tree_; }

  // The review window's previewed take; the row tint follows it.
  void setPreviewingTakeID(std::optional<Uuid> takeID);

  SceneHeaderWidget* sceneHeader(const Uuid& sceneID) const;
  TakeRowWidget* takeRow(const Uuid& takeID) const;
  QTreeWidgetItem* sceneItem(const Uuid& sceneID) const;
  // The context menu shown last (it stays open until chosen or dismissed).
  QMenu* lastContextMenu() const { return lastMenu_; }

  // For the rows: run a gesture now and rebuild once it is done (a rebuild
  // replaces the row that reported it).
  void run(const std::function<void()>& gesture);
  void showContextMenu(const std::vector<SceneTreeMenuItem>& items, const Uuid& sceneID,
                       const std::optional<Uuid>& takeID, const QPoint& globalPosition);

  // Where the user was in a name editor that a rebuild replaced: the new
  // editor goes on from there instead of selecting its text again.
  struct EditorPlace {
    RenameTarget target;
    int cursor = 0;
    int selectionStart = -1;
    int selectionLength = 0;
  };
  const std::optional<EditorPlace>& replacedEditor() const { return replacedEditor_; }

signals:
  void renamingChanged(bool renaming);

private:
  void rebuild();
  // Editors about to go must not rename anything on their way out.
  void retireEditors();
  std::optional<EditorPlace> currentEditorPlace() const;
  void scheduleRebuild();

  std::shared_ptr<SceneTreeCommands> commands_;
  SceneTree tree_;
  std::set<Uuid> collapsed_;
  std::map<Uuid, QTreeWidgetItem*> sceneItems_;
  std::map<Uuid, QPointer<SceneHeaderWidget>> headers_;
  std::map<Uuid, QPointer<TakeRowWidget>> takes_;
  QPointer<QMenu> lastMenu_;
  int running_ = 0;
  bool rebuildPending_ = false;
  bool rebuilding_ = false;
  std::optional<EditorPlace> replacedEditor_;
};

// A tree whose edits go to `manager` and which follows its session.
SceneTreeView* makeSceneTreeView(AppStateManager& manager, QWidget* parent = nullptr);

} // namespace vidorel
