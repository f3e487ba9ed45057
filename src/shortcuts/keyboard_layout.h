#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vidorel {

// Where key names come from: the text a key of the current keyboard layout
// shows when pressed without modifiers.
class KeyboardLayout {
public:
  virtual ~KeyboardLayout() = default;
  // UTF-8 text of the key at the Carbon key code's physical position; empty
  // when the layout has no such key or it types nothing.
  virtual std::string keyText(std::uint32_t carbonKeyCode) const = 0;
};

// A layout given as a table; for tools and tests that have no keyboard.
class TableKeyboardLayout final : public KeyboardLayout {
public:
  TableKeyboardLayout() = default;
  explicit TableKeyboardLayout(std::map<std::uint32_t, std::string> texts)
      : texts_(std::move(texts)) {}

  std::string keyText(std::uint32_t carbonKeyCode) const override {
    auto found = texts_.find(carbonKeyCode);
    return found == texts_.end() ? std::string() : found->second;
  }

private:
  std::map<std::uint32_t, std::string> texts_;
};

} // namespace vidorel
