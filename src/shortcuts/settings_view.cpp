#include "shortcuts/settings_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

namespace vidorel {

namespace {

constexpr int kTitleWidth = 200;
constexpr int kContentWidth = 440;
constexpr int kWarningIndent = 204;

QLabel* captionLabel(QColor colour) {
  auto* label = new QLabel;
  QFont caption = label->font();
  caption.setPointSizeF(caption.pointSizeF() * 0.85);
  label->setFont(caption);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
  label->setContentsMargins(kWarningIndent, 0, 0, 0);
  // Two warnings, a long one or a long command take more lines rather than
  // being cut.
  label->setWordWrap(true);
  label->hide();
  return label;
}

QLabel* heading(const char* text) {
  auto* label = new QLabel(QString::fromUtf8(text));
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

} // namespace

SettingsView::SettingsView(std::unique_ptr<ShortcutSettings> settings, const KeyboardLayout& layout,
                           QWidget* parent)
    : QWidget(parent), settings_(std::move(settings)), layout_(layout) {
  setObjectName(QStringLiteral("settings"));
  setFixedWidth(480);
  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(20, 20, 20, 20);
  stack->setSpacing(20);

  auto* shortcuts = new QVBoxLayout;
  shortcuts->setSpacing(6);
  shortcuts->addWidget(heading(kKeyboardShortcutsHeading));
  notice_ = new QLabel;
  notice_->setObjectName(QStringLiteral("notice"));
  notice_->setWordWrap(true);
  notice_->hide();
  shortcuts->addWidget(notice_);
  for (ShortcutAction action : allShortcutActions) {
    Row row;
    auto* line = new QHBoxLayout;
    line->setSpacing(4);
    line->setContentsMargins(0, 0, 0, 0);
    row.title = new QLabel(QString::fromUtf8(std::string(vidorel::title(action)).c_str()));
    row.title->setFixedWidth(kTitleWidth);
    row.title->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    line->addWidget(row.title, 0, Qt::AlignVCenter);
    row.recorder = new ShortcutRecorderView(layout_);
    line->addWidget(row.recorder, 0, Qt::AlignVCenter);
    line->addStretch();
    shortcuts->addLayout(line);

    row.warning = captionLabel(QColor(255, 149, 0));
    row.warning->setObjectName(QStringLiteral("warning"));
    shortcuts->addWidget(row.warning);
    row.note = captionLabel(palette().color(QPalette::PlaceholderText));
    row.note->setObjectName(QStringLiteral("note"));
    // A command to bind is there to be copied.
    row.note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    shortcuts->addWidget(row.note);

    ShortcutRecorder& recorder = row.recorder->recorder();
    recorder.accept = [this, action](const ShortcutBinding& candidate) {
      std::optional<ShortcutAction> refusedBy = settings_->conflict(action, candidate);
      showWarning(action);
      if (!refusedBy)
        settings_->save(action, candidate);
      return refusedBy;
    };
    recorder.onUnusableKey = [this, action] {
      settings_->refuseKey(action);
      showWarning(action);
    };
    recorder.onRecordingStarted = [this] { settings_->recordingStarted(); };
    recorder.onRecordingStopped = [this] {
      settings_->recordingStopped();
      // The hot keys were registered again: a refusal shows at once.
      for (ShortcutAction shown : allShortcutActions)
        showWarning(shown);
    };
    rows_[action] = row;
  }
  restore_ = new QPushButton(QString::fromUtf8(kRestoreDefaultsTitle));
  connect(restore_, &QPushButton::clicked, this, [this] {
    settings_->restoreDefaults();
    refresh();
  });
  auto* restoreLine = new QHBoxLayout;
  restoreLine->addWidget(restore_);
  restoreLine->addStretch();
  shortcuts->addSpacing(6);
  shortcuts->addLayout(restoreLine);
  stack->addLayout(shortcuts);

  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Sunken);
  stack->addWidget(divider);

  auto* general = new QVBoxLayout;
  general->setSpacing(6);
  general->addWidget(heading(kGeneralHeading));
  updates_ = new QCheckBox(QString::fromUtf8(kAutoCheckForUpdatesTitle));
  connect(updates_, &QCheckBox::toggled, this,
          [this](bool on) { settings_->setAutomaticallyChecksForUpdates(on); });
  general->addWidget(updates_);
  loudness_ = new QCheckBox(QString::fromUtf8(kEvenLoudnessTitle));
  connect(loudness_, &QCheckBox::toggled, this,
          [this](bool on) { settings_->setEvenLoudness(on); });
  general->addWidget(loudness_);
  stack->addLayout(general);
  stack->addStretch();

  refresh();
}

void SettingsView::addRecordingChoices(RecordingChoices choices) {
  Preferences* preferences = choices.preferences;
  auto* section = new QVBoxLayout;
  section->setSpacing(6);
  section->addWidget(heading(kRecordingHeading));
  auto* rows = new QGridLayout;
  rows->addWidget(new QLabel(QString::fromUtf8(kScreenTitle)), 0, 0);
  screen_ = new QComboBox;
  screen_->setObjectName(QStringLiteral("screen"));
  rows->addWidget(screen_, 0, 1);
  rows->addWidget(new QLabel(QString::fromUtf8(kRecordingSizeTitle)), 1, 0);
  size_ = new QComboBox;
  size_->setObjectName(QStringLiteral("recordingSize"));
  size_->addItem(QString::fromUtf8(kFullSizeTitle),
                 QString::fromUtf8(rawValue(RecordingSize::full).data()));
  size_->addItem(QString::fromUtf8(k1080pTitle),
                 QString::fromUtf8(rawValue(RecordingSize::hd1080).data()));
  size_->setCurrentIndex(preferences->recordingSize() == RecordingSize::hd1080 ? 1 : 0);
  connect(size_, &QComboBox::currentIndexChanged, this, [this, preferences](int) {
    std::string name = size_->currentData().toString().toStdString();
    preferences->setRecordingSize(recordingSizeNamed(name).value_or(RecordingSize::full));
  });
  rows->addWidget(size_, 1, 1);
  rows->setColumnStretch(1, 1);
  section->addLayout(rows);

  if (choices.desktopChooses || choices.displays.empty()) {
    screen_->setEnabled(false);
    auto* note = new QLabel(QString::fromUtf8(kDesktopChoosesScreen));
    note->setWordWrap(true);
    section->addWidget(note);
  } else {
    // The monitor recorded now: the stored one, else the first.
    DisplayChoice current =
        chooseDisplay(ShareableContent{choices.displays}, preferences->recordingScreen());
    for (const DisplayInfo& display : choices.displays) {
      QString name = QString::fromStdString(display.name);
      screen_->addItem(
          QStringLiteral("%1 (%2 × %3)").arg(name).arg(display.width).arg(display.height), name);
      if (current.display && display.name == current.display->name)
        screen_->setCurrentIndex(screen_->count() - 1);
    }
    connect(screen_, &QComboBox::currentIndexChanged, this, [this, preferences](int) {
      preferences->setRecordingScreen(screen_->currentData().toString().toStdString());
    });
  }
  auto* stack = static_cast<QVBoxLayout*>(layout());
  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Sunken);
  // Between the shortcuts and the general switches.
  stack->insertLayout(2, section);
  stack->insertWidget(3, divider);
}

SettingsView::~SettingsView() {
  // The recorders outlive this body (Qt deletes children later) but not the
  // settings they report to: a row still listening stops now, which brings
  // the hot keys back.
  for (auto& [action, row] : rows_)
    row.recorder->recorder().stop();
}

void SettingsView::refresh() {
  std::string notice = settings_->notice();
  notice_->setText(QString::fromStdString(notice));
  notice_->setVisible(!notice.empty());
  for (auto& [action, row] : rows_) {
    row.recorder->setBinding(settings_->effectiveBinding(action));
    showRowContent(action);
    showWarning(action);
  }
  // A window's layout does not ask a wrapped label for its height at the
  // width it gets: the notice and the notes (a long command) get the height
  // of their lines, and the window grows or shrinks with them.
  notice_->setFixedHeight(notice_->heightForWidth(kContentWidth));
  for (auto& [action, row] : rows_)
    row.note->setFixedHeight(row.note->heightForWidth(kContentWidth));
  if (isWindow() && layout()) {
    layout()->activate();
    resize(width(), layout()->sizeHint().height());
  }
  for (auto [toggle, on] : {std::pair{updates_, settings_->automaticallyChecksForUpdates()},
                            std::pair{loudness_, settings_->evenLoudness()}}) {
    if (toggle->isChecked() != on) {
      QSignalBlocker quiet(toggle);
      toggle->setChecked(on);
    }
  }
}

void SettingsView::showWarning(ShortcutAction action) {
  Row& row = rows_.at(action);
  std::string text = settings_->warning(action);
  row.warning->setText(QString::fromStdString(text));
  row.warning->setVisible(!text.empty());
}

void SettingsView::showRowContent(ShortcutAction action) {
  Row& row = rows_.at(action);
  ShortcutRowContent content = settings_->rowContent(action);
  if (content.recordable)
    row.recorder->setDesktopText(std::nullopt);
  else
    row.recorder->setDesktopText(QString::fromStdString(content.fieldText));
  row.note->setText(QString::fromStdString(content.note));
  row.note->setVisible(!content.note.empty());
}

ShortcutRecorderView* SettingsView::recorder(ShortcutAction action) const {
  return rows_.at(action).recorder;
}

QLabel* SettingsView::title(ShortcutAction action) const {
  return rows_.at(action).title;
}

QLabel* SettingsView::warning(ShortcutAction action) const {
  return rows_.at(action).warning;
}

QLabel* SettingsView::note(ShortcutAction action) const {
  return rows_.at(action).note;
}

} // namespace vidorel
