#include "shortcuts/shortcut_recorder_view.h"

#include "shortcuts/key_positions.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

#include <array>
#include <utility>

namespace vidorel {

namespace {

// Qt keys by the Carbon position they have on a US keyboard.
constexpr std::array<std::pair<int, std::uint32_t>, 66> kQtKeys = {{
    {Qt::Key_A, 0x00},        {Qt::Key_S, 0x01},         {Qt::Key_D, 0x02},
    {Qt::Key_F, 0x03},        {Qt::Key_H, 0x04},         {Qt::Key_G, 0x05},
    {Qt::Key_Z, 0x06},        {Qt::Key_X, 0x07},         {Qt::Key_C, 0x08},
    {Qt::Key_V, 0x09},        {Qt::Key_B, 0x0B},         {Qt::Key_Q, 0x0C},
    {Qt::Key_W, 0x0D},        {Qt::Key_E, 0x0E},         {Qt::Key_R, 0x0F},
    {Qt::Key_Y, 0x10},        {Qt::Key_T, 0x11},         {Qt::Key_1, 0x12},
    {Qt::Key_2, 0x13},        {Qt::Key_3, 0x14},         {Qt::Key_4, 0x15},
    {Qt::Key_6, 0x16},        {Qt::Key_5, 0x17},         {Qt::Key_Equal, 0x18},
    {Qt::Key_9, 0x19},        {Qt::Key_7, 0x1A},         {Qt::Key_Minus, 0x1B},
    {Qt::Key_8, 0x1C},        {Qt::Key_0, 0x1D},         {Qt::Key_BracketRight, 0x1E},
    {Qt::Key_O, 0x1F},        {Qt::Key_U, 0x20},         {Qt::Key_BracketLeft, 0x21},
    {Qt::Key_I, 0x22},        {Qt::Key_P, 0x23},         {Qt::Key_Return, 0x24},
    {Qt::Key_L, 0x25},        {Qt::Key_J, 0x26},         {Qt::Key_Apostrophe, 0x27},
    {Qt::Key_K, 0x28},        {Qt::Key_Semicolon, 0x29}, {Qt::Key_Backslash, 0x2A},
    {Qt::Key_Comma, 0x2B},    {Qt::Key_Slash, 0x2C},     {Qt::Key_N, 0x2D},
    {Qt::Key_M, 0x2E},        {Qt::Key_Period, 0x2F},    {Qt::Key_Tab, 0x30},
    {Qt::Key_Space, 0x31},    {Qt::Key_QuoteLeft, 0x32}, {Qt::Key_Backspace, 0x33},
    {Qt::Key_Escape, 0x35},   {Qt::Key_Control, 0x37},   {Qt::Key_Shift, 0x38},
    {Qt::Key_CapsLock, 0x39}, {Qt::Key_Alt, 0x3A},       {Qt::Key_Meta, 0x3B},
    {Qt::Key_Super_L, 0x3B},  {Qt::Key_Super_R, 0x3E},   {Qt::Key_AltGr, 0x3D},
    {Qt::Key_Enter, 0x4C},    {Qt::Key_Left, 0x7B},      {Qt::Key_Right, 0x7C},
    {Qt::Key_Down, 0x7D},     {Qt::Key_Up, 0x7E},        {Qt::Key_Delete, 0x75},
}};

} // namespace

std::optional<std::uint32_t> carbonKeyCode(const QKeyEvent& event) {
  // An X key event names its key position; one the table lacks has no
  // Carbon code, whatever Qt key it produced.
  if (event.nativeScanCode() != 0)
    return carbonKeyCodeFromX11(event.nativeScanCode());
  for (const auto& [key, code] : kQtKeys)
    if (key == event.key())
      return code;
  return std::nullopt;
}

ModifierSet modifierSet(const QKeyEvent& event) {
  ModifierSet set;
  Qt::KeyboardModifiers held = event.modifiers();
  if (held & Qt::ControlModifier)
    set.insert(ModifierKey::command);
  if (held & Qt::ShiftModifier)
    set.insert(ModifierKey::shift);
  if (held & Qt::AltModifier)
    set.insert(ModifierKey::option);
  if (held & Qt::MetaModifier)
    set.insert(ModifierKey::control);
  if (held & Qt::KeypadModifier)
    set.insert(ModifierKey::numericPad);
  return set;
}

ShortcutRecorderView::ShortcutRecorderView(const KeyboardLayout& layout, QWidget* parent)
    : QWidget(parent), layout_(layout) {
  setObjectName(QStringLiteral("shortcutRecorder"));
  setFixedSize(kRecorderWidth, kRecorderHeight);
  setFocusPolicy(Qt::ClickFocus);
  setCursor(Qt::PointingHandCursor);
}

ShortcutRecorderView::~ShortcutRecorderView() {
  // A window closed while listening would otherwise leave the hot keys
  // suspended for the rest of the run.
  recorder_.stop();
}

void ShortcutRecorderView::setBinding(std::optional<ShortcutBinding> binding) {
  recorder_.setBinding(std::move(binding));
  update();
}

void ShortcutRecorderView::setDesktopText(std::optional<QString> text) {
  if (text && recorder_.isRecording())
    recorder_.stop();
  desktopText_ = std::move(text);
  setCursor(desktopText_ ? Qt::ArrowCursor : Qt::PointingHandCursor);
  setFocusPolicy(desktopText_ ? Qt::NoFocus : Qt::ClickFocus);
  setToolTip(desktopText_ ? *desktopText_ : QString());
  update();
}

QString ShortcutRecorderView::text() const {
  if (desktopText_)
    return *desktopText_;
  return QString::fromStdString(recorder_.text(layout_));
}

bool ShortcutRecorderView::event(QEvent* event) {
  // While listening every key is the control's, even one that is a window
  // or menu shortcut.
  if (event->type() == QEvent::ShortcutOverride && recorder_.isRecording()) {
    event->accept();
    return true;
  }
  return QWidget::event(event);
}

void ShortcutRecorderView::mousePressEvent(QMouseEvent* event) {
  QWidget::mousePressEvent(event);
  if (recorder_.isRecording() || desktopText_)
    return;
  setFocus(Qt::MouseFocusReason);
  recorder_.click();
  update();
}

void ShortcutRecorderView::keyPressEvent(QKeyEvent* event) {
  if (!recorder_.isRecording()) {
    QWidget::keyPressEvent(event);
    return;
  }
  event->accept();
  std::optional<std::uint32_t> code = carbonKeyCode(*event);
  // A key no binding can name (a media key, say) is swallowed and refused.
  if (!code) {
    recorder_.unknownKeyPress();
    update();
    return;
  }
  recorder_.keyPress(*code, modifierSet(*event), layout_.keyText(*code));
  update();
}

void ShortcutRecorderView::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  // Keys no longer reach the control; listening on would keep the hot keys
  // suspended with nothing to show for it.
  if (event->reason() != Qt::PopupFocusReason && recorder_.isRecording()) {
    recorder_.stop();
    update();
  }
}

void ShortcutRecorderView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath outline;
  outline.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
  QColor accent = palette().color(QPalette::Highlight);
  bool recording = recorder_.isRecording();
  if (recording) {
    QColor fill = accent;
    fill.setAlphaF(0.15f);
    painter.fillPath(outline, fill);
    painter.setPen(QPen(accent, 1.5));
  } else if (desktopText_) {
    // Read-only: the window's own colour inside, like a disabled field.
    painter.fillPath(outline, palette().color(QPalette::Window));
    painter.setPen(QPen(palette().color(QPalette::Mid), 1.0));
  } else {
    painter.fillPath(outline, palette().color(QPalette::Base));
    painter.setPen(QPen(palette().color(QPalette::Mid), 1.0));
  }
  painter.drawPath(outline);

  QFont font = this->font();
  font.setPixelSize(12);
  if (!recording)
    font.setWeight(QFont::Medium);
  painter.setFont(font);
  painter.setPen(recording ? palette().color(QPalette::PlaceholderText)
                           : palette().color(QPalette::WindowText));
  QFontMetricsF metrics(font);
  // The desktop's description of a trigger may be longer than the field.
  QString shown = metrics.elidedText(text(), Qt::ElideRight, width() - 12);
  double x = (width() - metrics.horizontalAdvance(shown)) * 0.5;
  double y = (height() - metrics.height()) * 0.5;
  painter.drawText(QPointF(x, y + metrics.ascent()), shown);
}

} // namespace vidorel
