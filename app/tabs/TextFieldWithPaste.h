// The text fields of the agent's windows take Command-X, -C, -V and -A
// themselves (an agent has no Edit menu to give them those keys): each is
// sent to the first responder as cut:, copy:, paste: or selectAll:. Only
// Shift, Control, Option and Command count as modifiers; Caps Lock and the
// keypad and function-key flags are ignored.
#pragma once

#include <cstdint>
#include <string>

namespace tarvex {

// The platform's modifier flags of a key event.
inline constexpr uint64_t kAlphaShiftKeyMask = 1u << 16;  // Caps Lock
inline constexpr uint64_t kShiftKeyMask = 1u << 17;
inline constexpr uint64_t kControlKeyMask = 1u << 18;
inline constexpr uint64_t kAlternateKeyMask = 1u << 19;  // Option
inline constexpr uint64_t kCommandKeyMask = 1u << 20;
inline constexpr uint64_t kNumericPadKeyMask = 1u << 21;
inline constexpr uint64_t kFunctionKeyMask = 1u << 23;

struct KeyEvent {
  uint64_t modifierFlags = 0;
  std::string charactersIgnoringModifiers;
};

class NSTextFieldWithPaste {
 public:
  enum class Action { Cut, Copy, Paste, SelectAll, PassToBase };
  // What the key equivalent does: one of the four actions, or nothing of
  // its own (the base class's handling).
  static Action performKeyEquivalent(const KeyEvent& event);
  // The action's selector ("cut:", ...), "" for PassToBase.
  static std::string Selector(Action action);
};

}  // namespace tarvex
