#include "shell/qt_desktop_services.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QPushButton>

#include <memory>

namespace vidorel {

namespace {

QMessageBox::Icon iconFor(AlertStyle style) {
  switch (style) {
  case AlertStyle::informational:
    return QMessageBox::Information;
  case AlertStyle::warning:
    return QMessageBox::Warning;
  case AlertStyle::critical:
    return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::ButtonRole qtRole(AlertButtonRole role) {
  switch (role) {
  case AlertButtonRole::accept:
    return QMessageBox::AcceptRole;
  case AlertButtonRole::reject:
    return QMessageBox::RejectRole;
  case AlertButtonRole::destructive:
    return QMessageBox::DestructiveRole;
  case AlertButtonRole::action:
    return QMessageBox::ActionRole;
  }
  return QMessageBox::ActionRole;
}

QString qt(const std::string& text) {
  return QString::fromStdString(text);
}

} // namespace

PackageFileDialog::PackageFileDialog(const QString& caption, std::string packageExtension)
    : QFileDialog(nullptr, caption), packageExtension_(std::move(packageExtension)) {
  // A double-click on a package would show its contents; it chooses it.
  connect(this, &QFileDialog::directoryEntered, this, [this](const QString& directory) {
    if (isPackage(directory))
      choosePackage(directory);
  });
}

bool PackageFileDialog::isPackage(const QString& path) const {
  if (packageExtension_.empty())
    return false;
  QFileInfo info(path);
  QString name = info.fileName();
  QString extension = QString::fromStdString(packageExtension_);
  return info.isDir() && name.endsWith(extension, Qt::CaseInsensitive) &&
         name.size() > extension.size();
}

void PackageFileDialog::choosePackage(const QString& path) {
  chosenPackage_ = path;
  QDialog::done(QDialog::Accepted);
}

void PackageFileDialog::accept() {
  // The Open (or Save) button on a package folder chooses it; QFileDialog
  // would enter it like any folder.
  QStringList files = selectedFiles();
  if (files.size() == 1 && isPackage(files.front())) {
    choosePackage(files.front());
    return;
  }
  QFileDialog::accept();
}

std::optional<std::filesystem::path> PackageFileDialog::chosenPath() const {
  if (result() != QDialog::Accepted)
    return std::nullopt;
  if (!chosenPackage_.isEmpty())
    return std::filesystem::path(chosenPackage_.toStdString());
  QStringList files = selectedFiles();
  if (files.isEmpty())
    return std::nullopt;
  return std::filesystem::path(files.front().toStdString());
}

int QtAlertPresenter::runModal(const Alert& alert) {
  std::vector<AlertButtonPlan> plan = planAlertButtons(alert);
  QMessageBox box;
  box.setWindowTitle(QStringLiteral("Vidorel"));
  box.setIcon(iconFor(alert.style));
  box.setText(qt(alert.message));
  box.setInformativeText(qt(alert.informativeText));
  box.setObjectName(QStringLiteral("alert"));
  // Above the tray's control window and every other window of the program;
  // a tray-only program has nothing else to come to the front with.
  box.setWindowFlag(Qt::WindowStaysOnTopHint);

  std::vector<QPushButton*> buttons;
  for (const AlertButtonPlan& entry : plan) {
    QPushButton* button = box.addButton(qt(entry.title), qtRole(entry.role));
    if (entry.isDefault)
      box.setDefaultButton(button);
    if (entry.isEscape)
      box.setEscapeButton(button);
    buttons.push_back(button);
  }

  box_ = &box;
  box.exec();
  box_ = nullptr;

  QAbstractButton* clicked = box.clickedButton();
  for (size_t index = 0; index < buttons.size(); ++index) {
    if (buttons[index] == clicked)
      return static_cast<int>(index);
  }
  return -1;
}

QtFilePanels::~QtFilePanels() {
  if (dialog_)
    delete dialog_.data();
}

void QtFilePanels::showOpenPanel(const OpenPanelOptions& options, Answer answer) {
  auto* dialog = new PackageFileDialog(qt(options.message), options.allowedExtension);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setFileMode(QFileDialog::ExistingFile);
  if (!options.allowedExtension.empty()) {
    dialog->setNameFilter(
        QStringLiteral("Vidorel recordings (*%1)").arg(qt(options.allowedExtension)));
  }
  present(dialog, std::move(answer));
}

void QtFilePanels::showSavePanel(const SavePanelOptions& options, Answer answer) {
  // Saving over an existing package chooses it as a whole, like opening one.
  std::string extension = std::filesystem::path(options.proposedName).extension().string();
  auto* dialog = new PackageFileDialog(QStringLiteral("Save Recording"), extension);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  if (!options.canCreateDirectories)
    dialog->setOption(QFileDialog::ReadOnly);
  if (options.directory)
    dialog->setDirectory(qt(options.directory->string()));
  if (!options.proposedName.empty())
    dialog->selectFile(qt(options.proposedName));
  present(dialog, std::move(answer));
}

void QtFilePanels::present(PackageFileDialog* dialog, Answer answer) {
  // A panel still on screen is replaced; its caller hears a cancel.
  if (dialog_)
    dialog_->reject();

  // The platform's own dialogs may go through a portal that knows nothing
  // of packages; the widget-based one lets us treat them as files.
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
  dialog->setObjectName(dialog->acceptMode() == QFileDialog::AcceptOpen
                            ? QStringLiteral("openPanel")
                            : QStringLiteral("savePanel"));
  dialog_ = dialog;

  // The answer runs once, on the main loop after the dialog is gone, so the
  // caller never runs inside the dialog's own signal.
  auto pending = std::make_shared<Answer>(std::move(answer));
  MainLoop* loop = &loop_;
  QObject::connect(dialog, &QDialog::finished, dialog, [dialog, pending, loop](int) {
    if (!*pending)
      return;
    Answer reply = std::move(*pending);
    *pending = nullptr;
    std::optional<std::filesystem::path> path = dialog->chosenPath();
    loop->post([reply = std::move(reply), path] { reply(path); });
  });

  dialog->open();
  dialog->raise();
  dialog->activateWindow();
}

} // namespace vidorel
