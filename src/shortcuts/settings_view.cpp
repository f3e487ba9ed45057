#include "shortcuts/settings_view.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vidorel {

namespace {

constexpr int kTitleWidth = 200;
constexpr int kWarningIndent = 204;

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

    row.warning = new QLabel;
    row.warning->setObjectName(QStringLiteral("warning"));
    QFont caption = row.warning->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    row.warning->setFont(caption);
    QPalette palette = row.warning->palette();
    palette.setColor(QPalette::WindowText, QColor(255, 149, 0));
    row.warning->setPalette(palette);
    row.warning->setContentsMargins(kWarningIndent, 0, 0, 0);
    // Two warnings, or a long one, take more lines rather than being cut.
    row.warning->setWordWrap(true);
    row.warning->hide();
    shortcuts->addWidget(row.warning);

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
  stack->addLayout(general);
  stack->addStretch();

  refresh();
}

SettingsView::~SettingsView() {
  // The recorders outlive this body (Qt deletes children later) but not the
  // settings they report to: a row still listening stops now, which brings
  // the hot keys back.
  for (auto& [action, row] : rows_)
    row.recorder->recorder().stop();
}

void SettingsView::refresh() {
  for (auto& [action, row] : rows_) {
    row.recorder->setBinding(settings_->effectiveBinding(action));
    showWarning(action);
  }
  bool on = settings_->automaticallyChecksForUpdates();
  if (updates_->isChecked() != on) {
    QSignalBlocker quiet(updates_);
    updates_->setChecked(on);
  }
}

void SettingsView::showWarning(ShortcutAction action) {
  Row& row = rows_.at(action);
  std::string text = settings_->warning(action);
  row.warning->setText(QString::fromStdString(text));
  row.warning->setVisible(!text.empty());
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

} // namespace vidorel
