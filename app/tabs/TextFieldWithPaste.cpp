#include "app/tabs/TextFieldWithPaste.h"

namespace tarvex {

NSTextFieldWithPaste::Action NSTextFieldWithPaste::performKeyEquivalent(const KeyEvent& event) {
  constexpr uint64_t kCounted = kShiftKeyMask | kControlKeyMask | kAlternateKeyMask | kCommandKeyMask;
  if ((event.modifierFlags & kCounted) != kCommandKeyMask) return Action::PassToBase;
  const std::string& key = event.charactersIgnoringModifiers;
  if (key == "x") return Action::Cut;
  if (key == "c") return Action::Copy;
  if (key == "v") return Action::Paste;
  if (key == "a") return Action::SelectAll;
  return Action::PassToBase;
}

std::string NSTextFieldWithPaste::Selector(Action action) {
  switch (action) {
    case Action::Cut: return "cut:";
    case Action::Copy: return "copy:";
    case Action::Paste: return "paste:";
    case Action::SelectAll: return "selectAll:";
    case Action::PassToBase: break;
  }
  return "";
}

}  // namespace tarvex
