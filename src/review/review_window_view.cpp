#include "review/review_window_view.h"

#include "review/scene_tree_view.h"
#include "review/trim_bar_view.h"
#include "store/duration_probe.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <thread>

namespace vidorel {

namespace {

QWidget* makePlaceholder(QWidget* parent) {
  auto* page = new QWidget(parent);
  page->setMinimumSize(640, 360);
  page->setAutoFillBackground(true);
  QPalette palette = page->palette();
  palette.setColor(QPalette::Window, Qt::black);
  page->setPalette(palette);
  auto* layout = new QVBoxLayout(page);
  layout->addStretch();
  auto* title = new QLabel(QString::fromUtf8(kNoVideoTitle.data(), kNoVideoTitle.size()), page);
  title->setStyleSheet("color: white;");
  title->setAlignment(Qt::AlignCenter);
  auto* detail = new QLabel(QString::fromUtf8(kNoVideoDetail.data(), kNoVideoDetail.size()), page);
  detail->setStyleSheet("color: rgba(255, 255, 255, 178);");
  QFont small = detail->font();
  small.setPointSizeF(small.pointSizeF() * 0.85);
  detail->setFont(small);
  detail->setAlignment(Qt::AlignCenter);
  detail->setWordWrap(true);
  layout->addWidget(title);
  layout->addWidget(detail);
  layout->addStretch();
  return page;
}

} // namespace

ReviewWindowView::ReviewWindowView(AppStateManager& manager, Activation& activation,
                                   ReviewPlayerFactory makePlayer,
                                   std::function<void(const std::string&)> dismissWindow,
                                   QWidget* parent)
    : QWidget(parent) {
  setMinimumSize(900, 420);
  resize(1240, 620);
  auto* layout = new QHBoxLayout(this);
  auto* splitter = new QSplitter(this);
  layout->addWidget(splitter);

  tree_ = makeSceneTreeView(manager, splitter);
  tree_->setMinimumWidth(220);
  splitter->addWidget(tree_);

  auto* pane = new QWidget(splitter);
  auto* paneLayout = new QVBoxLayout(pane);
  screen_ = new QStackedWidget(pane);
  placeholder_ = makePlaceholder(screen_);
  movie_ = new QWidget(screen_);
  movie_->setMinimumSize(640, 360);
  movie_->setAutoFillBackground(true);
  movie_->setPalette(placeholder_->palette());
  auto* movieLayout = new QVBoxLayout(movie_);
  movieLayout->setContentsMargins(0, 0, 0, 0);
  screen_->addWidget(placeholder_);
  screen_->addWidget(movie_);
  paneLayout->addWidget(screen_, 1);
  splitter->addWidget(pane);
  splitter->setStretchFactor(1, 1);

  QPointer<QWidget> movie = movie_;
  MainLoop& loop = manager.loop();
  controller_ = std::make_unique<ReviewController>(ReviewControllerDependencies{
      manager, activation,
      [movie, makePlayer = std::move(makePlayer)]() -> std::shared_ptr<Player> {
        return makePlayer(movie.data());
      },
      [this, &loop](const std::filesystem::path& file,
                    std::function<void(std::optional<double>)> done) {
        probeOffTheMainLoop(loop, file, std::move(done));
      },
      std::move(dismissWindow)});

  trimBar_ = new TrimBarView(controller_->trimBar(), pane);
  controller_->trimBar().onDisplayChanged = [bar = QPointer<TrimBarView>(trimBar_)] {
    if (bar)
      bar->update();
  };
  paneLayout->addWidget(trimBar_);

  auto* row = new QHBoxLayout();
  for (ReviewButton which : allReviewButtons) {
    std::string_view label = reviewButtonLabel(which);
    auto* button = new QPushButton(QString::fromUtf8(label.data(), label.size()), pane);
    if (which == ReviewButton::approve)
      button->setDefault(true);
    // Labels are never clipped: the row sets how narrow the pane gets.
    button->setMinimumWidth(button->sizeHint().width());
    button->setFocusPolicy(Qt::NoFocus); // Space is the player's
    connect(button, &QPushButton::clicked, this, [this, which] { controller_->press(which); });
    buttons_[which] = button;
    row->addWidget(button);
  }
  paneLayout->addLayout(row);

  tree_->logic().onSelectTakeForPreview = [this](const Uuid& id,
                                                 const std::filesystem::path& file) {
    controller_->selectTakeForPreview(id, file);
  };
  connect(tree_, &SceneTreeView::renamingChanged, this,
          [this](bool renaming) { controller_->setRenamingScene(renaming); });
  controller_->onChanged = [this] { refresh(); };
  setFocusPolicy(Qt::StrongFocus);
  refresh();
}

ReviewWindowView::~ReviewWindowView() {
  // A probe still reading posts to the loop; the loop outlives the window,
  // and the controller's answer is dropped once it is gone.
  for (ProbeThread& probe : probes_)
    probe.thread.join();
  controller_->onChanged = nullptr;
  controller_->trimBar().onDisplayChanged = nullptr;
  tree_->logic().onSelectTakeForPreview = nullptr;
}

// The probe reads the file's header on a thread of its own so that a slow
// disk never holds up playback; the answer comes back on the main loop.
// Threads are kept so that none outlives the window.
void ReviewWindowView::probeOffTheMainLoop(MainLoop& loop, const std::filesystem::path& file,
                                           std::function<void(std::optional<double>)> done) {
  std::erase_if(probes_, [](ProbeThread& probe) {
    if (!probe.finished->load())
      return false;
    probe.thread.join();
    return true;
  });
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([&loop, file, finished, done = std::move(done)]() mutable {
    FfmpegDurationProbe probe;
    std::optional<double> seconds = probe.duration(file);
    loop.post([done = std::move(done), seconds] { done(seconds); });
    finished->store(true);
  });
  probes_.push_back(ProbeThread{std::move(thread), std::move(finished)});
}

bool ReviewWindowView::showsPlaceholder() const {
  return screen_->currentWidget() == placeholder_;
}

void ReviewWindowView::refresh() {
  setWindowTitle(QString::fromStdString(controller_->title()));
  const std::shared_ptr<Player>& player = controller_->player();
  screen_->setCurrentWidget(player ? movie_ : placeholder_);
  trimBar_->setVisible(controller_->showsTrimBar());
  trimBar_->update();
  tree_->setPreviewingTakeID(controller_->previewingTakeID());
  for (auto& [which, button] : buttons_)
    button->setEnabled(controller_->isEnabled(which));
}

void ReviewWindowView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (appeared_)
    return;
  appeared_ = true;
  controller_->windowDidAppear();
  setFocus();
}

void ReviewWindowView::closeEvent(QCloseEvent* event) {
  // Only the user's own close (the window system's) throws a waiting take
  // away; a dismissal by a command has already decided about it.
  controller_->windowWillClose(event->spontaneous());
  QWidget::closeEvent(event);
}

void ReviewWindowView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && controller_->handleSpace()) {
    event->accept();
    return;
  }
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      controller_->isEnabled(ReviewButton::approve)) {
    controller_->press(ReviewButton::approve);
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

} // namespace vidorel
