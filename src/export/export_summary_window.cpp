#include "export/export_summary_view.h"

#include "workflow/app_state_manager.h"

#include <QClipboard>
#include <QGuiApplication>

namespace vidorel {

QWidget* makeExportSummaryWindow(AppStateManager& manager) {
  auto* view = new ExportSummaryView;
  auto close = [&manager, view] {
    if (manager.dismissWindow)
      manager.dismissWindow("export");
    else
      view->close();
  };
  view->onCancel = close;
  view->onCopyChapters = [](const std::string& list) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(list));
  };
  view->onExport = [&manager, close] {
    close();
    manager.exportFinalVideo();
  };
  view->setSummary(makeExportSummary(manager.currentSession()));
  // Edits made in the scene tree while the summary is open show at once.
  AppStateManager::ObserverID observer = manager.addObserver(
      [&manager, view] { view->setSummary(makeExportSummary(manager.currentSession())); });
  QObject::connect(view, &QObject::destroyed,
                   [&manager, observer] { manager.removeObserver(observer); });
  return view;
}

} // namespace vidorel
