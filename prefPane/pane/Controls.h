// The pane's controls as its code sees them: buttons with a title, a state
// (on 1, off 0, mixed -1) and an enabled flag; text fields; a pop-up menu
// with its selected index; a progress indicator that animates or not; a
// tab view whose items go by identifier; the window with its number.
//
// A ControlModel owns the controls of one view in order and finds them by
// name (the outlets are bound that way). Every change the code makes is
// told to the model's observer (the host, which shows it); what a person
// does comes in through the Person* calls, which change the control without
// telling the observer back and answer the action the control sends.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvex::pane {

inline constexpr int kStateOff = 0;
inline constexpr int kStateOn = 1;
inline constexpr int kStateMixed = -1;

class ControlModel;

class Control {
 public:
  enum class Kind {
    PushButton,
    CheckBox,
    Radio,
    TextField,
    Label,
    PopUp,
    Progress,
    TabView,
    Window
  };
  Control(Kind kind, std::string name, std::string action, std::string tab);
  virtual ~Control() = default;

  Kind kind() const { return kind_; }
  const std::string& name() const { return name_; }
  // The action sent when a person uses the control ("": none).
  const std::string& action() const { return action_; }
  // The identifier of the tab the control lives on ("": the view itself).
  const std::string& tab() const { return tab_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);

 protected:
  void Changed();

 private:
  friend class ControlModel;
  Kind kind_;
  std::string name_, action_, tab_;
  bool enabled_ = true;
  ControlModel* model_ = nullptr;
};

class Button : public Control {
 public:
  using Control::Control;
  const std::string& title() const { return title_; }
  void setTitle(const std::string& title);
  int state() const { return state_; }
  void setState(int state);

 private:
  std::string title_;
  int state_ = kStateOff;
};

class TextField : public Control {
 public:
  using Control::Control;
  const std::string& stringValue() const { return text_; }
  void setStringValue(const std::string& text);

 private:
  std::string text_;
};

class PopUpButton : public Control {
 public:
  using Control::Control;
  const std::vector<std::string>& items() const { return items_; }
  void setItems(std::vector<std::string> items);
  int indexOfSelectedItem() const { return selected_; }
  // An index outside the items selects nothing (-1).
  void selectItemAtIndex(int index);

 private:
  std::vector<std::string> items_;
  int selected_ = -1;
};

class ProgressIndicator : public Control {
 public:
  using Control::Control;
  bool isAnimating() const { return animating_; }
  void startAnimation();
  void stopAnimation();

 private:
  bool animating_ = false;
};

class TabView : public Control {
 public:
  using Control::Control;
  struct Item {
    std::string identifier, label;
  };
  const std::vector<Item>& items() const { return items_; }
  void addItem(std::string identifier, std::string label);
  bool hasItem(const std::string& identifier) const;
  // False when no item has that identifier.
  bool removeItemWithIdentifier(const std::string& identifier);

 private:
  std::vector<Item> items_;
};

class Window : public Control {
 public:
  using Control::Control;
  int windowNumber() const { return number_; }
  void setWindowNumber(int number);

 private:
  int number_ = 0;
};

class ControlModel {
 public:
  ControlModel() = default;
  ControlModel(const ControlModel&) = delete;
  ControlModel& operator=(const ControlModel&) = delete;

  // Adds a control of type T (its kind must fit the type); returns it.
  template <typename T>
  T& Add(Control::Kind kind, std::string name, std::string action = {}, std::string tab = {}) {
    auto control = std::make_unique<T>(kind, std::move(name), std::move(action), std::move(tab));
    T& added = *control;
    Adopt(std::move(control));
    return added;
  }
  // The control named `name`, or null.
  Control* Find(const std::string& name) const;
  const std::vector<std::unique_ptr<Control>>& controls() const { return controls_; }

  // Told every change the code makes to a control.
  void SetObserver(std::function<void(const Control&)> observer) {
    observer_ = std::move(observer);
  }

  // ---- What a person does: the control changed, the action it sends ----
  // A click: a check box flips (mixed turns on), a radio turns on; answers
  // the action ("" when the control is disabled or of no such kind).
  std::string PersonClick(const std::string& name);
  std::string PersonType(const std::string& name, const std::string& text);
  std::string PersonSelect(const std::string& name, int index);

 private:
  friend class Control;
  void Adopt(std::unique_ptr<Control> control);
  void Notify(const Control& control);
  // The control named `name` when a person can use it now.
  Control* Usable(const std::string& name) const;

  std::vector<std::unique_ptr<Control>> controls_;
  std::function<void(const Control&)> observer_;
  bool quiet_ = false;  // a person's change: not told back
};

}  // namespace tarvex::pane
