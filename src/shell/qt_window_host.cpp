#include "shell/qt_window_host.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QWindow>

namespace vidorel {

namespace {

QWidget* makePlaceholder(const std::string& id) {
  auto* widget = new QWidget;
  auto* layout = new QVBoxLayout(widget);
  auto* label = new QLabel(QString::fromStdString(shellWindowTitle(id)), widget);
  label->setAlignment(Qt::AlignCenter);
  layout->addWidget(label);
  widget->resize(480, 320);
  return widget;
}

} // namespace

std::string shellWindowTitle(const std::string& id) {
  if (id == "review")
    return "Review Take";
  if (id == "export")
    return "Export";
  if (id == "settings")
    return "Settings";
  return id;
}

QtWindowHost::QtWindowHost() : self_(std::make_shared<QtWindowHost*>(this)) {}

QtWindowHost::~QtWindowHost() {
  *self_ = nullptr;
  for (auto& [id, window] : windows_) {
    if (window)
      delete window.data();
  }
}

void QtWindowHost::setFactory(const std::string& id, Factory factory) {
  factories_[id] = std::move(factory);
}

QWidget* QtWindowHost::window(const std::string& id) const {
  auto found = windows_.find(id);
  if (found == windows_.end())
    return nullptr;
  return found->second.data();
}

bool QtWindowHost::isWindowOpen(const std::string& id) const {
  QWidget* widget = window(id);
  return widget && widget->isVisible();
}

void QtWindowHost::showWindow(const std::string& id) {
  QWidget* widget = window(id);
  // A window closed by hand is hidden at once and deleted a moment later;
  // it is not brought back.
  if (widget && !widget->isVisible()) {
    windows_.erase(id);
    widget = nullptr;
  }
  if (!widget) {
    auto factory = factories_.find(id);
    widget =
        factory != factories_.end() && factory->second ? factory->second() : makePlaceholder(id);
    widget->setAttribute(Qt::WA_DeleteOnClose);
    widget->setWindowTitle(QString::fromStdString(shellWindowTitle(id)));
    if (widget->objectName().isEmpty())
      widget->setObjectName(QString::fromStdString(id));
    windows_[id] = widget;
    std::weak_ptr<QtWindowHost*> weak = self_;
    QObject::connect(widget, &QObject::destroyed, [weak, id, widget] {
      std::shared_ptr<QtWindowHost*> host = weak.lock();
      if (!host || !*host)
        return;
      QtWindowHost& self = **host;
      auto found = self.windows_.find(id);
      // Only the window that is gone; a new one may already bear its id.
      if (found != self.windows_.end() && (found->second.isNull() || found->second == widget))
        self.windows_.erase(found);
      self.windowDestroyed(id, widget);
    });
  }
  lastShown_ = id;
  widget->show();
  widget->raise();
}

void QtWindowHost::closeWindow(const std::string& id) {
  QWidget* widget = window(id);
  if (!widget)
    return;
  closedByHost_.insert(widget);
  if (!widget->close())
    closedByHost_.erase(widget);
}

void QtWindowHost::windowDestroyed(const std::string& id, const QWidget* widget) {
  if (closedByHost_.erase(widget) > 0)
    return;
  if (closedHandler_)
    closedHandler_(id);
}

void QtWindowHost::setActivationPolicy(ActivationPolicy policy) {
  policy_ = policy;
}

void QtWindowHost::activate() {
  QWidget* widget = window(lastShown_);
  if (!widget || !widget->isVisible())
    return;
  widget->raise();
  widget->activateWindow();
  if (QWindow* handle = widget->windowHandle())
    handle->requestActivate();
}

} // namespace vidorel
