#pragma once

// What the workflow needs of the desktop: modal alerts, file panels and the
// activation policy. The Qt shell implements these; tests use fakes.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {

enum class AlertStyle { informational, warning, critical };

struct Alert {
  std::string message;
  std::string informativeText;
  AlertStyle style = AlertStyle::informational;
  // Titles in the order they are added; empty means one "OK" button.
  std::vector<std::string> buttons;
};

// Shows alerts modally. Returns the index of the chosen button in
// Alert::buttons (0 for the lone default button); -1 when the alert was
// closed without a choice.
class AlertPresenter {
public:
  virtual ~AlertPresenter() = default;
  virtual int runModal(const Alert& alert) = 0;
};

struct OpenPanelOptions {
  std::string message;
  // Only items with this extension can be chosen (".vidorel" packages are
  // folders, so the panel must accept them as single items).
  std::string allowedExtension;
};

struct SavePanelOptions {
  std::string proposedName;
  std::optional<std::filesystem::path> directory;
  bool canCreateDirectories = true;
};

// File panels are shown without blocking; the answer arrives later on the
// main loop, nothing when the user cancelled.
class FilePanels {
public:
  using Answer = std::function<void(std::optional<std::filesystem::path>)>;
  virtual ~FilePanels() = default;
  virtual void showOpenPanel(const OpenPanelOptions& options, Answer answer) = 0;
  virtual void showSavePanel(const SavePanelOptions& options, Answer answer) = 0;
};

enum class ActivationPolicy { regular, accessory };

// regular: the program's windows show in the task bar and take focus;
// accessory: it lives in the tray only.
class Activation {
public:
  virtual ~Activation() = default;
  virtual void setActivationPolicy(ActivationPolicy policy) = 0;
  // Brings the program to the front, ignoring other programs.
  virtual void activate() = 0;
};

} // namespace vidorel
