#pragma once

#include "shell/window_glue.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace vidorel {

// The titles of the three windows.
std::string shellWindowTitle(const std::string& id);

// The review, export and settings windows, at most one of each. A window is
// made by the factory registered for its id (a plain placeholder when there
// is none) the first time it is shown, and deleted when it closes.
class QtWindowHost final : public WindowHost {
public:
  using Factory = std::function<QWidget*()>;

  QtWindowHost();
  ~QtWindowHost() override;
  QtWindowHost(const QtWindowHost&) = delete;
  QtWindowHost& operator=(const QtWindowHost&) = delete;

  // The view for `id` from now on.
  void setFactory(const std::string& id, Factory factory);
  // Called after a window was closed by hand (not through closeWindow) and
  // is gone.
  void setClosedHandler(std::function<void(const std::string&)> handler) {
    closedHandler_ = std::move(handler);
  }

  void showWindow(const std::string& id) override;
  void closeWindow(const std::string& id) override;
  bool isWindowOpen(const std::string& id) const override;
  QWidget* window(const std::string& id) const;

  void setActivationPolicy(ActivationPolicy policy) override;
  ActivationPolicy activationPolicy() const { return policy_; }
  void activate() override;

private:
  void windowDestroyed(const std::string& id, const QWidget* widget);

  std::map<std::string, Factory> factories_;
  std::map<std::string, QPointer<QWidget>> windows_;
  std::set<const QWidget*> closedByHost_;
  std::string lastShown_;
  ActivationPolicy policy_ = ActivationPolicy::accessory;
  std::function<void(const std::string&)> closedHandler_;
  // Guards the destroyed-signal handlers against a host that is gone.
  std::shared_ptr<QtWindowHost*> self_;
};

} // namespace vidorel
