#pragma once

#include "shortcuts/keyboard_layout.h"
#include "shortcuts/shortcut_recorder.h"

#include <QWidget>

class QKeyEvent;

namespace vidorel {

// The Carbon key code of a key event: from the X keycode when the event
// carries one, else from the Qt key on the US layout (events made by tests
// or other display servers carry none). Nothing for keys no binding can use.
std::optional<std::uint32_t> carbonKeyCode(const QKeyEvent& event);
// The modifiers held, in the program's mapping (Ctrl is Command, Alt is
// Option, Super is Control).
ModifierSet modifierSet(const QKeyEvent& event);

// The recorder control: 160 × 24, a rounded outline with the binding (or
// "None"); a click makes it listen ("Press shortcut…") for the next key
// combination while it has the keyboard focus.
class ShortcutRecorderView final : public QWidget {
  Q_OBJECT
public:
  explicit ShortcutRecorderView(const KeyboardLayout& layout, QWidget* parent = nullptr);
  ~ShortcutRecorderView() override;

  ShortcutRecorder& recorder() { return recorder_; }
  void setBinding(std::optional<ShortcutBinding> binding);
  bool isRecording() const { return recorder_.isRecording(); }
  // Where the desktop owns the key: the control shows `text` and does not
  // listen; nothing makes it a recorder again.
  void setDesktopText(std::optional<QString> text);
  bool isReadOnly() const { return desktopText_.has_value(); }
  // What the control shows now (a long desktop text is elided on screen).
  QString text() const;

  QSize sizeHint() const override { return {kRecorderWidth, kRecorderHeight}; }

protected:
  bool event(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

private:
  const KeyboardLayout& layout_;
  ShortcutRecorder recorder_;
  std::optional<QString> desktopText_;
};

} // namespace vidorel
