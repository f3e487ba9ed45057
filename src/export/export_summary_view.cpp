#include "export/export_summary_view.h"

#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace vidorel {

namespace {

constexpr int kSceneColumnWidth = 160;
constexpr int kTakeColumnWidth = 100;

QLabel* rowLabel(const std::string& text, const QFont& font, bool secondary,
                 Qt::Alignment alignment) {
  auto* label = new QLabel(QString::fromStdString(text));
  label->setFont(font);
  label->setAlignment(alignment | Qt::AlignVCenter);
  if (secondary) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
  }
  return label;
}

} // namespace

ExportSummaryView::ExportSummaryView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("export"));
  setMinimumWidth(400);

  auto* stack = new QVBoxLayout(this);
  stack->setSpacing(16);
  stack->setContentsMargins(24, 24, 24, 24);

  auto* title = new QLabel(QString::fromUtf8(kExportSummaryTitle));
  QFont headline = title->font();
  headline.setBold(true);
  headline.setPointSizeF(headline.pointSizeF() * 1.15);
  title->setFont(headline);
  title->setAlignment(Qt::AlignHCenter);
  stack->addWidget(title);

  auto* list = new QVBoxLayout;
  list->setSpacing(4);
  list->setContentsMargins(12, 0, 12, 0);
  rows_ = new QGridLayout;
  rows_->setHorizontalSpacing(8);
  rows_->setVerticalSpacing(4);
  rows_->setColumnMinimumWidth(0, kSceneColumnWidth);
  rows_->setColumnMinimumWidth(1, kTakeColumnWidth);
  rows_->setColumnStretch(2, 1);
  list->addLayout(rows_);
  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Sunken);
  list->addWidget(divider);
  totalLabel_ = new QLabel;
  totalLabel_->setObjectName(QStringLiteral("total"));
  QFont medium = totalLabel_->font();
  medium.setWeight(QFont::Medium);
  totalLabel_->setFont(medium);
  list->addWidget(totalLabel_);
  stack->addLayout(list);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(12);
  buttons->addStretch();
  cancelButton_ = new QPushButton(QString::fromUtf8(kExportCancelTitle));
  exportButton_ = new QPushButton(QString::fromUtf8(kExportButtonTitle));
  exportButton_->setDefault(true);
  copyChaptersButton_ = new QPushButton(QString::fromUtf8(kCopyChaptersTitle));
  buttons->addWidget(copyChaptersButton_);
  buttons->addWidget(cancelButton_);
  buttons->addWidget(exportButton_);
  buttons->addStretch();
  stack->addLayout(buttons);

  // Window shortcuts that act at once (a button's own shortcut only
  // animates a click and fires a moment later).
  auto* cancelShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Escape), this);
  connect(cancelShortcut, &QShortcut::activated, cancelButton_, &QPushButton::click);
  auto* exportShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E), this);
  connect(exportShortcut, &QShortcut::activated, this, [this] {
    if (exportButton_->isEnabled())
      exportButton_->click();
  });

  connect(cancelButton_, &QPushButton::clicked, this, [this] {
    // The handler may close and delete this view; run a copy.
    if (auto handler = onCancel)
      handler();
  });
  connect(copyChaptersButton_, &QPushButton::clicked, this, [this] {
    if (onCopyChapters && !summary_.chapterList.empty())
      onCopyChapters(summary_.chapterList);
  });
  connect(exportButton_, &QPushButton::clicked, this, [this] {
    // A shortcut reaches a disabled button too; only a summary with
    // selected takes may start an export.
    if (!summary_.canExport)
      return;
    if (auto handler = onExport)
      handler();
  });

  setSummary({});
}

void ExportSummaryView::setSummary(ExportSummary summary) {
  summary_ = std::move(summary);
  if (summary_.totalText.empty())
    summary_.totalText = makeExportSummary(std::nullopt).totalText;
  rebuildRows();
  totalLabel_->setText(QString::fromStdString(summary_.totalText));
  exportButton_->setEnabled(summary_.canExport);
  copyChaptersButton_->setEnabled(!summary_.chapterList.empty());
}

void ExportSummaryView::rebuildRows() {
  while (QLayoutItem* item = rows_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  int line = 0;
  for (const ExportSummaryRow& row : summary_.rows) {
    rows_->addWidget(rowLabel(row.sceneLabel, mono, false, Qt::AlignLeft), line, 0);
    if (row.skipped()) {
      rows_->addWidget(rowLabel(kSkippedSceneText, mono, true, Qt::AlignLeft), line, 1, 1, 2);
    } else {
      rows_->addWidget(rowLabel(*row.takeLabel, mono, false, Qt::AlignLeft), line, 1);
      rows_->addWidget(rowLabel(row.takeLength, mono, true, Qt::AlignRight), line, 2);
    }
    ++line;
  }
}

QStringList ExportSummaryView::rowTexts(int row) const {
  QStringList texts;
  for (int column = 0; column < rows_->columnCount(); ++column) {
    QLayoutItem* item = rows_->itemAtPosition(row, column);
    auto* label = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
    // A label spanning two columns is found at both.
    if (label && (texts.isEmpty() || rows_->itemAtPosition(row, column - 1) != item))
      texts << label->text();
  }
  return texts;
}

} // namespace vidorel
