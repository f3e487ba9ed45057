#include "review/scene_tree_view.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QToolButton>

namespace vidorel {

namespace {

QColor accentColour(const QWidget& widget) {
  return widget.palette().color(QPalette::Highlight);
}

QColor secondaryColour(const QWidget& widget) {
  return widget.palette().color(QPalette::PlaceholderText);
}

// The few symbols the rows show, drawn here so that they look the same on
// every desktop theme (and exist on none).
QIcon symbolIcon(const std::string& symbol, const QColor& colour, int size) {
  QPixmap pixmap(size * 2, size * 2);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(2, 2);
  QRectF box(1, 1, size - 2, size - 2);
  if (symbol == kUnselectedSymbol) {
    painter.setPen(QPen(colour, 1.4));
    painter.drawEllipse(box);
  } else if (symbol == kSelectedSymbol || symbol == kDeleteTakeSymbol) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(box);
    painter.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    double s = size;
    if (symbol == kSelectedSymbol) {
      QPainterPath tick;
      tick.moveTo(s * 0.28, s * 0.52);
      tick.lineTo(s * 0.44, s * 0.68);
      tick.lineTo(s * 0.72, s * 0.36);
      painter.setBrush(Qt::NoBrush);
      painter.drawPath(tick);
    } else {
      painter.drawLine(QPointF(s * 0.34, s * 0.34), QPointF(s * 0.66, s * 0.66));
      painter.drawLine(QPointF(s * 0.66, s * 0.34), QPointF(s * 0.34, s * 0.66));
    }
  } else if (symbol == kTrashSymbol) {
    double s = size;
    painter.setPen(QPen(colour, 1.2));
    painter.drawLine(QPointF(s * 0.2, s * 0.25), QPointF(s * 0.8, s * 0.25));
    painter.drawRect(QRectF(s * 0.4, s * 0.12, s * 0.2, s * 0.13));
    painter.drawRoundedRect(QRectF(s * 0.28, s * 0.3, s * 0.44, s * 0.58), 1.5, 1.5);
    painter.drawLine(QPointF(s * 0.43, s * 0.42), QPointF(s * 0.43, s * 0.76));
    painter.drawLine(QPointF(s * 0.57, s * 0.42), QPointF(s * 0.57, s * 0.76));
  }
  painter.end();
  pixmap.setDevicePixelRatio(2);
  return QIcon(pixmap);
}

QToolButton* symbolButton(const std::string& symbol, const QColor& colour, int size) {
  auto* button = new QToolButton;
  button->setAutoRaise(true);
  button->setFocusPolicy(Qt::NoFocus);
  button->setIcon(symbolIcon(symbol, colour, size));
  button->setIconSize(QSize(size, size));
  button->setProperty("symbol", QString::fromStdString(symbol));
  button->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; }"));
  return button;
}

// A row's highlight: a tinted fill (the current scene, the take being
// previewed) and an outline while something is dragged over it.
void paintRowHighlight(QWidget& row, float fillAlpha, bool filled, qreal outlineWidth,
                       bool outlined) {
  if (!filled && !outlined)
    return;
  QPainter painter(&row);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF box = QRectF(row.rect()).adjusted(1, 1, -1, -1);
  QColor accent = accentColour(row);
  if (filled) {
    QColor fill = accent;
    fill.setAlphaF(fillAlpha);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(box, 6, 6);
  }
  if (outlined) {
    painter.setPen(QPen(accent, outlineWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(box, 6, 6);
  }
}

void setSecondary(QLabel* label) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
  label->setPalette(palette);
}

} // namespace

InlineNameEditor::InlineNameEditor(QWidget* parent) : QLineEdit(parent) {
  connect(this, &QLineEdit::returnPressed, this, [this] {
    if (!retired_)
      emit ended(NameEditor::End::returnKey, text());
  });
}

void InlineNameEditor::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    if (!retired_)
      emit cancelled();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void InlineNameEditor::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // Focus moving to the row's own context menu is not the end of editing.
  if (event->reason() == Qt::PopupFocusReason)
    return;
  if (!retired_)
    emit ended(NameEditor::End::focusLost, text());
}

SceneTreeRowWidget::SceneTreeRowWidget(SceneTreeView& view, Uuid sceneID, QWidget* parent)
    : QWidget(parent), view_(view), sceneID_(sceneID) {
  setAcceptDrops(true);
  setAttribute(Qt::WA_Hover);
}

void SceneTreeRowWidget::retire() {
  if (editor_)
    editor_->retire();
}

void SceneTreeRowWidget::setUpName(const std::string& label, bool editing,
                                   const std::string& editText, int editorWidth) {
  name_ = new QLabel(QString::fromStdString(label));
  name_->setObjectName(QStringLiteral("name"));
  if (!editing)
    return;
  name_->hide();
  editor_ = new InlineNameEditor;
  editor_->setObjectName(QStringLiteral("nameEditor"));
  editor_->setFixedWidth(editorWidth);
  editor_->setText(QString::fromStdString(editText));
  SceneTree& tree = view_.logic();
  connect(editor_, &QLineEdit::textEdited, this,
          [&tree](const QString& text) { tree.editor().setText(text.toStdString()); });
  connect(
      editor_, &InlineNameEditor::ended, this, [this](NameEditor::End reason, const QString& text) {
        view_.run([this, reason, text] { view_.logic().endRenaming(reason, text.toStdString()); });
      });
  connect(editor_, &InlineNameEditor::cancelled, this,
          [this] { view_.run([this] { view_.logic().cancelRenaming(); }); });
  // The editor takes the keyboard as soon as it is shown, all text selected;
  // one that replaces an editor of the same rename (the coordinator
  // published while the user typed) goes on where the user was, so the next
  // key does not overwrite what was typed.
  const std::optional<SceneTreeView::EditorPlace>& place = view_.replacedEditor();
  bool continues = place && place->target == view_.logic().renameTarget();
  if (continues) {
    if (place->selectionLength > 0)
      editor_->setSelection(place->selectionStart, place->selectionLength);
    else
      editor_->setCursorPosition(place->cursor);
  }
  QPointer<InlineNameEditor> editor = editor_;
  QTimer::singleShot(0, editor_, [editor, continues] {
    if (!editor)
      return;
    editor->setFocus(Qt::OtherFocusReason);
    if (!continues)
      editor->selectAll();
  });
}

void SceneTreeRowWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  pressed_ = true;
  dragged_ = false;
  pressPosition_ = event->position().toPoint();
  event->accept();
}

void SceneTreeRowWidget::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_ || !(event->buttons() & Qt::LeftButton))
    return;
  if ((event->position().toPoint() - pressPosition_).manhattanLength() <
      QApplication::startDragDistance())
    return;
  pressed_ = false;
  dragged_ = true;
  auto* drag = new QDrag(this);
  auto* data = new QMimeData;
  data->setText(QString::fromStdString(dragPayload()));
  drag->setMimeData(data);
  drag->setPixmap(grab());
  drag->exec(Qt::MoveAction);
}

void SceneTreeRowWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pressed_)
    return;
  pressed_ = false;
  if (dragged_ || !rect().contains(event->position().toPoint()))
    return;
  view_.run([this] { clicked(); });
}

void SceneTreeRowWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton)
    return;
  pressed_ = false;
  view_.run([this] { doubleClicked(); });
}

void SceneTreeRowWidget::dragEnterEvent(QDragEnterEvent* event) {
  if (!event->mimeData()->hasText()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  dropTarget_ = true;
  update();
}

void SceneTreeRowWidget::dragLeaveEvent(QDragLeaveEvent* event) {
  dropTarget_ = false;
  update();
  QWidget::dragLeaveEvent(event);
}

void SceneTreeRowWidget::dropEvent(QDropEvent* event) {
  dropTarget_ = false;
  update();
  if (!event->mimeData()->hasText()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // The edit runs once the drag has finished, on the next turn of the loop:
  // it rebuilds the tree, and with it the row being dragged.
  std::string payload = event->mimeData()->text().toStdString();
  QPointer<SceneTreeView> view = &view_;
  Uuid target = sceneID_;
  QTimer::singleShot(0, &view_, [view, target, payload] {
    if (view)
      view->run([&] { view->logic().drop(target, payload); });
  });
}

SceneHeaderWidget::SceneHeaderWidget(SceneTreeView& view, const SceneRowModel& row, bool editing,
                                     const std::string& editText)
    : SceneTreeRowWidget(view, row.id), current_(row.isCurrent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 3, 6, 3);
  layout->setSpacing(6);
  setUpName(row.label, editing, editText, kSceneNameEditorWidth);
  QFont font = name_->font();
  font.setBold(row.isCurrent);
  name_->setFont(font);
  layout->addWidget(name_);
  if (editor_)
    layout->addWidget(editor_);
  skipped_ = new QLabel(QString::fromUtf8(kSkippedSceneBadge));
  skipped_->setObjectName(QStringLiteral("skipped"));
  QFont caption = skipped_->font();
  caption.setPointSizeF(caption.pointSizeF() * 0.85);
  skipped_->setFont(caption);
  setSecondary(skipped_);
  skipped_->setVisible(row.isSkipped);
  layout->addWidget(skipped_);
  layout->addStretch();
  if (row.canDelete) {
    trash_ = symbolButton(kTrashSymbol, secondaryColour(*this), 14);
    trash_->setObjectName(QStringLiteral("deleteScene"));
    trash_->setToolTip(QString::fromUtf8(kDeleteSceneTooltip));
    Uuid id = row.id;
    connect(trash_, &QToolButton::clicked, this,
            [this, id] { view_.run([this, id] { view_.logic().deleteScene(id); }); });
    layout->addWidget(trash_);
  }
}

void SceneHeaderWidget::clicked() {
  view_.logic().clickScene(sceneID_);
}

void SceneHeaderWidget::doubleClicked() {
  view_.logic().startRenaming({sceneID_, std::nullopt});
}

std::string SceneHeaderWidget::dragPayload() const {
  return scenePayload(sceneID_);
}

void SceneHeaderWidget::paintEvent(QPaintEvent*) {
  paintRowHighlight(*this, 0.18f, current_, 2, dropTarget_);
}

void SceneHeaderWidget::contextMenuEvent(QContextMenuEvent* event) {
  const SceneRowModel* row = view_.logic().scene(sceneID_);
  if (!row)
    return;
  view_.showContextMenu(sceneContextMenu(*row), sceneID_, std::nullopt, event->globalPos());
}

TakeRowWidget::TakeRowWidget(SceneTreeView& view, const TakeRowModel& row, bool editing,
                             const std::string& editText)
    : SceneTreeRowWidget(view, row.sceneID), takeID_(row.id), previewing_(row.isPreviewing) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 2, 6, 2);
  layout->setSpacing(6);
  QColor colour = row.isSelected ? accentColour(*this) : secondaryColour(*this);
  select_ = symbolButton(row.selectionSymbol(), colour, 16);
  select_->setObjectName(QStringLiteral("selectTake"));
  Uuid sceneID = row.sceneID;
  Uuid takeID = row.id;
  connect(select_, &QToolButton::clicked, this, [this, sceneID, takeID] {
    view_.run([this, sceneID, takeID] { view_.logic().toggleTakeSelection(sceneID, takeID); });
  });
  layout->addWidget(select_);
  setUpName(row.label, editing, editText, kTakeNameEditorWidth);
  layout->addWidget(name_);
  if (editor_)
    layout->addWidget(editor_);
  layout->addStretch();
  length_ = new QLabel(QString::fromStdString(row.length));
  length_->setObjectName(QStringLiteral("length"));
  QFont caption = length_->font();
  caption.setPointSizeF(caption.pointSizeF() * 0.85);
  length_->setFont(caption);
  setSecondary(length_);
  layout->addWidget(length_);
  delete_ = symbolButton(kDeleteTakeSymbol, secondaryColour(*this), 12);
  delete_->setObjectName(QStringLiteral("deleteTake"));
  // Kept in the layout while hidden so the row does not jump on hover.
  QSizePolicy policy = delete_->sizePolicy();
  policy.setRetainSizeWhenHidden(true);
  delete_->setSizePolicy(policy);
  delete_->hide();
  connect(delete_, &QToolButton::clicked, this,
          [this, takeID] { view_.run([this, takeID] { view_.logic().deleteTake(takeID); }); });
  layout->addWidget(delete_);
}

void TakeRowWidget::setPreviewing(bool on) {
  previewing_ = on;
  update();
}

void TakeRowWidget::clicked() {
  view_.logic().clickTake(sceneID_, takeID_);
}

void TakeRowWidget::doubleClicked() {
  view_.logic().startRenaming({sceneID_, takeID_});
}

std::string TakeRowWidget::dragPayload() const {
  return takePayload(takeID_, sceneID_);
}

void TakeRowWidget::enterEvent(QEnterEvent* event) {
  hovering_ = true;
  delete_->show();
  QWidget::enterEvent(event);
}

void TakeRowWidget::leaveEvent(QEvent* event) {
  hovering_ = false;
  delete_->hide();
  QWidget::leaveEvent(event);
}

void TakeRowWidget::paintEvent(QPaintEvent*) {
  paintRowHighlight(*this, 0.25f, previewing_, 1.5, dropTarget_);
}

void TakeRowWidget::contextMenuEvent(QContextMenuEvent* event) {
  view_.showContextMenu(takeContextMenu(), sceneID_, takeID_, event->globalPos());
}

SceneTreeView::SceneTreeView(std::shared_ptr<SceneTreeCommands> commands, QWidget* parent)
    : QTreeWidget(parent), commands_(std::move(commands)), tree_(*commands_) {
  setObjectName(QStringLiteral("sceneTree"));
  setHeaderHidden(true);
  setColumnCount(1);
  setIndentation(14);
  setSelectionMode(QAbstractItemView::NoSelection);
  setFocusPolicy(Qt::NoFocus);
  setRootIsDecorated(true);
  setMinimumWidth(220);
  tree_.onRenamingChanged = [this](bool on) { emit renamingChanged(on); };
  connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
    if (auto id = Uuid::parse(item->data(0, Qt::UserRole).toString().toStdString()))
      collapsed_.insert(*id);
  });
  connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
    if (auto id = Uuid::parse(item->data(0, Qt::UserRole).toString().toStdString()))
      collapsed_.erase(*id);
  });
}

SceneTreeView::~SceneTreeView() {
  retireEditors();
  tree_.onRenamingChanged = nullptr;
}

void SceneTreeView::setSession(std::optional<Session> session) {
  tree_.setSession(std::move(session));
  scheduleRebuild();
}

void SceneTreeView::setPreviewingTakeID(std::optional<Uuid> takeID) {
  tree_.setPreviewingTakeID(std::move(takeID));
  for (auto& [id, row] : takes_)
    if (row)
      row->setPreviewing(tree_.previewingTakeID() == id);
}

SceneHeaderWidget* SceneTreeView::sceneHeader(const Uuid& sceneID) const {
  auto found = headers_.find(sceneID);
  return found == headers_.end() ? nullptr : found->second.data();
}

TakeRowWidget* SceneTreeView::takeRow(const Uuid& takeID) const {
  auto found = takes_.find(takeID);
  return found == takes_.end() ? nullptr : found->second.data();
}

QTreeWidgetItem* SceneTreeView::sceneItem(const Uuid& sceneID) const {
  auto found = sceneItems_.find(sceneID);
  return found == sceneItems_.end() ? nullptr : found->second;
}

void SceneTreeView::run(const std::function<void()>& gesture) {
  ++running_;
  gesture();
  --running_;
  // A gesture may have changed what the rows show without the coordinator
  // publishing (a rename starting, a preview), so the rows follow anyway.
  scheduleRebuild();
}

void SceneTreeView::scheduleRebuild() {
  if (running_ == 0 && !rebuilding_) {
    rebuild();
    return;
  }
  // Inside a row's own event handler the row must outlive the handler.
  if (rebuildPending_)
    return;
  rebuildPending_ = true;
  QTimer::singleShot(0, this, [this] {
    rebuildPending_ = false;
    rebuild();
  });
}

std::optional<SceneTreeView::EditorPlace> SceneTreeView::currentEditorPlace() const {
  const std::optional<RenameTarget>& renaming = tree_.renameTarget();
  if (!renaming)
    return std::nullopt;
  InlineNameEditor* editor = nullptr;
  if (renaming->takeID) {
    if (TakeRowWidget* row = takeRow(*renaming->takeID))
      editor = row->editor();
  } else if (SceneHeaderWidget* header = sceneHeader(renaming->sceneID)) {
    editor = header->editor();
  }
  if (!editor)
    return std::nullopt;
  EditorPlace place;
  place.target = *renaming;
  place.cursor = editor->cursorPosition();
  if (editor->hasSelectedText()) {
    place.selectionStart = editor->selectionStart();
    place.selectionLength = editor->selectionLength();
  }
  return place;
}

void SceneTreeView::retireEditors() {
  for (auto& [id, header] : headers_)
    if (header)
      header->retire();
  for (auto& [id, row] : takes_)
    if (row)
      row->retire();
}

void SceneTreeView::rebuild() {
  rebuilding_ = true;
  replacedEditor_ = currentEditorPlace();
  retireEditors();
  headers_.clear();
  takes_.clear();
  sceneItems_.clear();
  clear();

  const std::optional<RenameTarget>& renaming = tree_.renameTarget();
  std::string editText = tree_.editor().text();
  for (const SceneRowModel& row : tree_.rows()) {
    auto* item = new QTreeWidgetItem(this);
    item->setData(0, Qt::UserRole, QString::fromStdString(row.id.string()));
    item->setFlags(Qt::ItemIsEnabled);
    bool editingScene = renaming && !renaming->takeID && renaming->sceneID == row.id;
    auto* header = new SceneHeaderWidget(*this, row, editingScene, editText);
    setItemWidget(item, 0, header);
    headers_[row.id] = header;
    sceneItems_[row.id] = item;
    for (const TakeRowModel& take : row.takes) {
      auto* child = new QTreeWidgetItem(item);
      child->setData(0, Qt::UserRole, QString::fromStdString(take.id.string()));
      child->setFlags(Qt::ItemIsEnabled);
      bool editingTake = renaming && renaming->takeID == take.id;
      auto* takeRow = new TakeRowWidget(*this, take, editingTake, editText);
      setItemWidget(child, 0, takeRow);
      takes_[take.id] = takeRow;
    }
    item->setExpanded(!collapsed_.contains(row.id));
  }
  replacedEditor_.reset();
  rebuilding_ = false;
}

void SceneTreeView::showContextMenu(const std::vector<SceneTreeMenuItem>& items,
                                    const Uuid& sceneID, const std::optional<Uuid>& takeID,
                                    const QPoint& globalPosition) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  for (const SceneTreeMenuItem& item : items) {
    QAction* action = menu->addAction(QString::fromStdString(item.title));
    SceneTreeMenuCommand command = item.command;
    connect(action, &QAction::triggered, this, [this, command, sceneID, takeID] {
      run([&] { tree_.runMenuCommand(command, sceneID, takeID); });
    });
  }
  lastMenu_ = menu;
  menu->popup(globalPosition);
}

} // namespace vidorel
