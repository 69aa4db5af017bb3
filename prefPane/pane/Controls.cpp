#include "prefPane/pane/Controls.h"

#include <algorithm>

namespace tarvex::pane {

Control::Control(Kind kind, std::string name, std::string action, std::string tab)
    : kind_(kind), name_(std::move(name)), action_(std::move(action)), tab_(std::move(tab)) {}

void Control::setEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  Changed();
}

void Control::Changed() {
  if (model_) model_->Notify(*this);
}

void Button::setTitle(const std::string& title) {
  if (title_ == title) return;
  title_ = title;
  Changed();
}

void Button::setState(int state) {
  if (state != kStateOn && state != kStateMixed) state = kStateOff;
  if (state_ == state) return;
  state_ = state;
  Changed();
}

void TextField::setStringValue(const std::string& text) {
  if (text_ == text) return;
  text_ = text;
  Changed();
}

void PopUpButton::setItems(std::vector<std::string> items) {
  items_ = std::move(items);
  if (selected_ >= static_cast<int>(items_.size())) selected_ = -1;
  Changed();
}

void PopUpButton::selectItemAtIndex(int index) {
  if (index < 0 || index >= static_cast<int>(items_.size())) index = -1;
  if (selected_ == index) return;
  selected_ = index;
  Changed();
}

void ProgressIndicator::startAnimation() {
  if (animating_) return;
  animating_ = true;
  Changed();
}

void ProgressIndicator::stopAnimation() {
  if (!animating_) return;
  animating_ = false;
  Changed();
}

void TabView::addItem(std::string identifier, std::string label) {
  items_.push_back({std::move(identifier), std::move(label)});
  Changed();
}

bool TabView::hasItem(const std::string& identifier) const {
  return std::any_of(items_.begin(), items_.end(),
                     [&](const Item& i) { return i.identifier == identifier; });
}

bool TabView::removeItemWithIdentifier(const std::string& identifier) {
  auto it = std::find_if(items_.begin(), items_.end(),
                         [&](const Item& i) { return i.identifier == identifier; });
  if (it == items_.end()) return false;
  items_.erase(it);
  Changed();
  return true;
}

void Window::setWindowNumber(int number) {
  if (number_ == number) return;
  number_ = number;
  Changed();
}

void ControlModel::Adopt(std::unique_ptr<Control> control) {
  control->model_ = this;
  controls_.push_back(std::move(control));
}

Control* ControlModel::Find(const std::string& name) const {
  for (const auto& c : controls_)
    if (c->name() == name) return c.get();
  return nullptr;
}

void ControlModel::Notify(const Control& control) {
  if (!quiet_ && observer_) observer_(control);
}

Control* ControlModel::Usable(const std::string& name) const {
  Control* c = Find(name);
  if (!c || !c->isEnabled()) return nullptr;
  if (!c->tab().empty()) {
    // A control on a tab that was taken away cannot be reached.
    for (const auto& other : controls_)
      if (other->kind() == Control::Kind::TabView &&
          !static_cast<const TabView&>(*other).hasItem(c->tab()))
        return nullptr;
  }
  return c;
}

std::string ControlModel::PersonClick(const std::string& name) {
  Control* c = Usable(name);
  if (!c) return {};
  quiet_ = true;
  auto* button = static_cast<Button*>(c);
  switch (c->kind()) {
    case Control::Kind::CheckBox:
      button->setState(button->state() == kStateOn ? kStateOff : kStateOn);
      break;
    case Control::Kind::Radio:
      button->setState(kStateOn);
      break;
    case Control::Kind::PushButton:
      break;
    default:
      quiet_ = false;
      return {};
  }
  quiet_ = false;
  return c->action();
}

std::string ControlModel::PersonType(const std::string& name, const std::string& text) {
  Control* c = Usable(name);
  if (!c || c->kind() != Control::Kind::TextField) return {};
  quiet_ = true;
  static_cast<TextField*>(c)->setStringValue(text);
  quiet_ = false;
  return c->action();
}

std::string ControlModel::PersonSelect(const std::string& name, int index) {
  Control* c = Usable(name);
  if (!c || c->kind() != Control::Kind::PopUp) return {};
  auto* popUp = static_cast<PopUpButton*>(c);
  if (index < 0 || index >= static_cast<int>(popUp->items().size())) return {};
  quiet_ = true;
  popUp->selectItemAtIndex(index);
  quiet_ = false;
  return c->action();
}

}  // namespace tarvex::pane
