#pragma once

#include "export/export_summary.h"

#include <QWidget>

#include <functional>
#include <string>

class QGridLayout;
class QLabel;
class QPushButton;

namespace vidorel {

class AppStateManager;

// The content of the "export" window: one line per scene with the take
// that goes into the movie, the total, and the two buttons. It keeps no
// state beyond the summary it was last given.
class ExportSummaryView final : public QWidget {
  Q_OBJECT
public:
  explicit ExportSummaryView(QWidget* parent = nullptr);

  void setSummary(ExportSummary summary);
  const ExportSummary& summary() const { return summary_; }

  // "Cancel" (Ctrl+Escape): close the window.
  std::function<void()> onCancel;
  // "Export Final Video" (Shift+Ctrl+E): close the window, then export.
  std::function<void()> onExport;
  // "Copy Chapters": the chapter list goes to the clipboard.
  std::function<void(const std::string&)> onCopyChapters;

  QPushButton* cancelButton() const { return cancelButton_; }
  QPushButton* exportButton() const { return exportButton_; }
  QPushButton* copyChaptersButton() const { return copyChaptersButton_; }
  QLabel* totalLabel() const { return totalLabel_; }
  // The texts of row `row` from left to right, for tests and accessibility.
  QStringList rowTexts(int row) const;

private:
  void rebuildRows();

  ExportSummary summary_;
  QGridLayout* rows_ = nullptr;
  QLabel* totalLabel_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  QPushButton* exportButton_ = nullptr;
  QPushButton* copyChaptersButton_ = nullptr;
};

// The window the shell shows for "export": follows the manager's session
// while it is open; its buttons close it through the manager's
// dismissWindow and ask the manager to export.
QWidget* makeExportSummaryWindow(AppStateManager& manager);

} // namespace vidorel
