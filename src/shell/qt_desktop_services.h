#pragma once

#include "base/main_loop.h"
#include "shell/alert_buttons.h"
#include "workflow/platform.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>

namespace vidorel {

// Modal alerts as QMessageBox, one icon per style.
class QtAlertPresenter final : public AlertPresenter {
public:
  int runModal(const Alert& alert) override;
  // The box last shown while it is on screen (tests press its buttons).
  QMessageBox* visibleBox() const { return box_; }

private:
  QPointer<QMessageBox> box_;
};

// A file dialog that treats folders with the package extension (".vidorel")
// as single items: opening one chooses it instead of entering it.
class PackageFileDialog final : public QFileDialog {
  Q_OBJECT
public:
  PackageFileDialog(const QString& caption, std::string packageExtension);

  // The chosen file or package once the dialog was accepted.
  std::optional<std::filesystem::path> chosenPath() const;

public slots:
  void accept() override;

private:
  bool isPackage(const QString& path) const;
  void choosePackage(const QString& path);

  std::string packageExtension_;
  QString chosenPackage_;
};

// Open and save panels as QFileDialog, shown without blocking. The answer
// is posted to the main loop once the dialog closes. The open panel treats a
// folder with the allowed extension (a ".vidorel" package) as one item:
// opening it chooses it instead of entering it.
class QtFilePanels final : public FilePanels {
public:
  explicit QtFilePanels(MainLoop& loop) : loop_(loop) {}
  ~QtFilePanels() override;

  void showOpenPanel(const OpenPanelOptions& options, Answer answer) override;
  void showSavePanel(const SavePanelOptions& options, Answer answer) override;

  // The panel on screen, if any (tests drive it).
  PackageFileDialog* visiblePanel() const { return dialog_; }

private:
  void present(PackageFileDialog* dialog, Answer answer);

  MainLoop& loop_;
  QPointer<PackageFileDialog> dialog_;
};

} // namespace vidorel
