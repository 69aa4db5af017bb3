#include "platform/win/ScriptedPresenter.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "text/Text.h"

namespace tarvex {
namespace {

struct Token {
  std::string text;
  bool quoted = false;
  bool contains = false;  // ~"..."
};

// Words and quoted texts of one line; false and `*error` for an unclosed
// quote.
bool Tokenize(const std::string& line, std::vector<Token>* out, std::string* error) {
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    Token t;
    if (c == '~' && i + 1 < line.size() && line[i + 1] == '"') {
      t.contains = true;
      ++i;
    }
    if (line[i] == '"') {
      t.quoted = true;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          t.text += line[i + 1];
          i += 2;
        } else if (line[i] == '"') {
          closed = true;
          ++i;
          break;
        } else {
          t.text += line[i++];
        }
      }
      if (!closed) {
        *error = "a quoted text is not closed";
        return false;
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
        t.text += line[i++];
    }
    out->push_back(std::move(t));
  }
  return true;
}

bool Number(const std::string& text, int* out) {
  if (text.empty() || text.size() > 9) return false;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

}  // namespace

ScriptedPresenter::Step& ScriptedPresenter::Last() {
  if (steps_.empty() || steps_.back().menu) steps_.push_back(Step{});
  return steps_.back();
}

ScriptedPresenter& ScriptedPresenter::Dialog(int templateId) {
  std::lock_guard<std::mutex> guard(m_);
  Step s;
  s.templateId = templateId;
  steps_.push_back(std::move(s));
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Expect(int control, std::string text, bool exact) {
  std::lock_guard<std::mutex> guard(m_);
  Last().expects.push_back({control, std::move(text), exact});
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Press(int control) {
  std::lock_guard<std::mutex> guard(m_);
  Last().actions.push_back(DialogInput::Click(control));
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Check(int control, bool on) {
  std::lock_guard<std::mutex> guard(m_);
  Last().actions.push_back(DialogInput::SetCheck(control, on));
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Type(int control, std::string text) {
  std::lock_guard<std::mutex> guard(m_);
  Last().actions.push_back(DialogInput::Type(control, std::move(text)));
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Select(int control, std::string text) {
  std::lock_guard<std::mutex> guard(m_);
  Last().actions.push_back(DialogInput::SelectText(control, std::move(text)));
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Key(DialogKey key) {
  std::lock_guard<std::mutex> guard(m_);
  Last().actions.push_back(DialogInput::Key(key));
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Close() {
  std::lock_guard<std::mutex> guard(m_);
  Last().actions.push_back(DialogInput::Close());
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Fill(
    int control, std::vector<std::pair<std::string, std::string>> fields) {
  std::lock_guard<std::mutex> guard(m_);
  Last().actions.push_back(DialogInput::Fill(control, 0, std::move(fields)));
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Choose(std::string menuItem) {
  std::lock_guard<std::mutex> guard(m_);
  Step s;
  s.menu = true;
  s.choose = std::move(menuItem);
  steps_.push_back(std::move(s));
  return *this;
}

ScriptedPresenter& ScriptedPresenter::Dismiss() {
  return Choose({});
}

std::shared_ptr<ScriptedPresenter> ScriptedPresenter::Parse(const std::string& text,
                                                            std::string* error) {
  auto script = std::make_shared<ScriptedPresenter>();
  std::istringstream in(text);
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    std::vector<Token> t;
    std::string why;
    auto fail = [&](const std::string& reason) {
      *error = Format("line %d: %s: %s", lineNumber, reason, line);
      return nullptr;
    };
    if (!Tokenize(line, &t, &why)) return fail(why);
    if (t.empty()) continue;
    int id = 0;
    if (t[0].text == "menu" && !t[0].quoted) {
      if (t.size() == 3 && t[1].text == "choose" && t[2].quoted)
        script->Choose(t[2].text);
      else if (t.size() == 2 && t[1].text == "dismiss")
        script->Dismiss();
      else
        return fail("expected menu choose \"item\" or menu dismiss");
      continue;
    }
    if (t[0].text != "dialog" || t[0].quoted || t.size() < 2 || !Number(t[1].text, &id))
      return fail("expected dialog ID or menu");
    script->Dialog(id);
    for (size_t i = 2; i < t.size();) {
      const std::string& word = t[i].text;
      auto control = [&](size_t at) { return at < t.size() && Number(t[at].text, &id); };
      if (word == "expect" && control(i + 1) && i + 2 < t.size() && t[i + 2].quoted) {
        script->Expect(id, t[i + 2].text, !t[i + 2].contains);
        i += 3;
      } else if (word == "press" && control(i + 1)) {
        script->Press(id);
        i += 2;
      } else if (word == "check" && control(i + 1) && i + 2 < t.size() &&
                 (t[i + 2].text == "on" || t[i + 2].text == "off")) {
        script->Check(id, t[i + 2].text == "on");
        i += 3;
      } else if ((word == "type" || word == "select") && control(i + 1) && i + 2 < t.size() &&
                 t[i + 2].quoted) {
        if (word == "type")
          script->Type(id, t[i + 2].text);
        else
          script->Select(id, t[i + 2].text);
        i += 3;
      } else if (word == "key" && i + 1 < t.size() &&
                 (t[i + 1].text == "enter" || t[i + 1].text == "escape")) {
        script->Key(t[i + 1].text == "enter" ? DialogKey::Enter : DialogKey::Escape);
        i += 2;
      } else if (word == "fill" && control(i + 1) && i + 2 < t.size() && t[i + 2].quoted) {
        const int browser = id;
        std::vector<std::pair<std::string, std::string>> fields;
        for (i += 2; i < t.size() && t[i].quoted; ++i) {
          const size_t eq = t[i].text.find('=');
          if (eq == std::string::npos || eq == 0)
            return fail(Format("a field to fill is \"name=value\", not \"%s\"", t[i].text));
          fields.emplace_back(t[i].text.substr(0, eq), t[i].text.substr(eq + 1));
        }
        script->Fill(browser, std::move(fields));
      } else if (word == "close") {
        script->Close();
        i += 1;
      } else {
        return fail(Format("cannot read \"%s\"", word));
      }
    }
  }
  return script;
}

std::shared_ptr<ScriptedPresenter> ScriptedPresenter::FromFile(const std::string& path,
                                                               std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = Format("cannot read the script [%s]", path);
    return nullptr;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string why;
  auto script = Parse(text.str(), &why);
  if (!script) *error = Format("script [%s]: %s", path, why);
  return script;
}

void ScriptedPresenter::OnFailure(std::function<void(const std::string&)> onFailure) {
  std::lock_guard<std::mutex> guard(m_);
  onFailure_ = std::move(onFailure);
}

void ScriptedPresenter::Fail(const std::string& failure) {
  std::function<void(const std::string&)> tell;
  {
    std::lock_guard<std::mutex> guard(m_);
    failures_.push_back(failure);
    transcript_.push_back("FAILED: " + failure);
    tell = onFailure_;
  }
  if (tell) tell(failure);
}

void ScriptedPresenter::DialogShown(const DialogSnapshot& dialog) {
  std::string failure;
  std::vector<DialogInput> actions;
  {
    std::lock_guard<std::mutex> guard(m_);
    dialogs_.push_back(dialog);
    transcript_.push_back(Format("dialog %d shown: %s", dialog.templateId, DescribeDialog(dialog)));
    if (next_ >= steps_.size()) {
      failure = Format("dialog %d shown after the script ended: %s", dialog.templateId,
                       DescribeDialog(dialog));
    } else if (steps_[next_].menu) {
      failure = Format("dialog %d shown where the script expected a menu: %s", dialog.templateId,
                       DescribeDialog(dialog));
    } else if (steps_[next_].templateId != dialog.templateId) {
      failure = Format("dialog %d shown where the script expected dialog %d: %s",
                       dialog.templateId, steps_[next_].templateId, DescribeDialog(dialog));
    } else {
      for (const Expectation& e : steps_[next_].expects) {
        const ControlState* c = dialog.Find(e.control);
        const bool ok = c && c->visible &&
                        (e.exact ? c->text == e.text : c->text.find(e.text) != std::string::npos);
        if (!ok && failure.empty())
          failure = Format("dialog %d: control %d %s \"%s\" but %s", dialog.templateId, e.control,
                           e.exact ? "should read" : "should contain", e.text,
                           !c           ? std::string("there is no such control")
                           : !c->visible ? std::string("it is hidden")
                                         : Format("it reads \"%s\"", c->text));
      }
      if (failure.empty()) actions = steps_[next_].actions;
      ++next_;
    }
  }
  if (!failure.empty()) {
    Fail(failure);
    SendDialogInput(dialog.window, DialogInput::ForceEnd(kScriptFailedResult));
    return;
  }
  Send(dialog, std::move(actions));
}

void ScriptedPresenter::Send(const DialogSnapshot& dialog, std::vector<DialogInput> actions) {
  for (size_t i = 0; i < actions.size(); ++i) {
    DialogInput& a = actions[i];
    if (a.kind == DialogInput::Kind::Fill && a.page == 0) {
      const ControlState* c = dialog.Find(a.control);
      if (!c || !c->browser || c->browser->page == 0) {
        std::lock_guard<std::mutex> guard(m_);
        waiting_.emplace_back(dialog.window, std::vector<DialogInput>(
                                                 std::make_move_iterator(actions.begin() + i),
                                                 std::make_move_iterator(actions.end())));
        return;
      }
      a.page = c->browser->page;
    }
    SendDialogInput(dialog.window, std::move(a));
  }
}

void ScriptedPresenter::DialogChanged(const DialogSnapshot& dialog) {
  std::vector<DialogInput> resumed;
  {
    std::lock_guard<std::mutex> guard(m_);
    for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it) {
      if (it->window == dialog.window) {
        *it = dialog;
        break;
      }
    }
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      if (it->first == dialog.window) {
        const ControlState* c = dialog.Find(it->second.front().control);
        if (c && c->browser && c->browser->page != 0) {
          resumed = std::move(it->second);
          waiting_.erase(it);
        }
        break;
      }
    }
  }
  if (!resumed.empty()) Send(dialog, std::move(resumed));
}

void ScriptedPresenter::DialogClosed(const HWND& dialog) {
  std::lock_guard<std::mutex> guard(m_);
  std::erase_if(waiting_, [&](const auto& w) { return w.first == dialog; });
  for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it) {
    if (it->window == dialog) {
      transcript_.push_back(Format("dialog %d closed", it->templateId));
      return;
    }
  }
}

void ScriptedPresenter::TrayChanged(const std::vector<TrayIcon>& icons) {
  std::lock_guard<std::mutex> guard(m_);
  trays_.push_back(icons);
}

void ScriptedPresenter::Balloon(const BalloonRecord& balloon) {
  std::lock_guard<std::mutex> guard(m_);
  balloons_.push_back(balloon);
  transcript_.push_back(Format("balloon \"%s\": %s", balloon.title, balloon.text));
}

void ScriptedPresenter::MenuShown(const MenuSnapshot& menu) {
  std::string failure;
  uint64_t choice = 0;
  {
    std::lock_guard<std::mutex> guard(m_);
    std::string items;
    for (const MenuItem& item : menu.items)
      items += item.separator ? std::string(" | -") : " | " + item.text;
    transcript_.push_back("menu shown:" + items);
    if (next_ >= steps_.size() || !steps_[next_].menu) {
      failure = "menu shown where the script expected " +
                (next_ >= steps_.size() ? std::string("nothing more")
                                        : Format("dialog %d", steps_[next_].templateId)) +
                ":" + items;
    } else {
      const std::string& wanted = steps_[next_].choose;
      ++next_;
      if (!wanted.empty()) {
        for (const MenuItem& item : menu.items)
          if (!item.separator && item.text == wanted) choice = item.id;
        if (!choice) failure = Format("the menu has no item \"%s\":%s", wanted, items);
      }
    }
  }
  if (!failure.empty()) Fail(failure);
  if (choice)
    ChooseMenuItem(menu.window, choice);
  else
    DismissMenu(menu.window);
}

std::vector<std::string> ScriptedPresenter::Failures() const {
  std::lock_guard<std::mutex> guard(m_);
  return failures_;
}

size_t ScriptedPresenter::Unconsumed() const {
  std::lock_guard<std::mutex> guard(m_);
  return steps_.size() - next_;
}

std::vector<std::string> ScriptedPresenter::Transcript() const {
  std::lock_guard<std::mutex> guard(m_);
  return transcript_;
}

std::optional<DialogSnapshot> ScriptedPresenter::Latest(int templateId) const {
  std::lock_guard<std::mutex> guard(m_);
  for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it)
    if (it->templateId == templateId) return *it;
  return std::nullopt;
}

std::vector<std::vector<TrayIcon>> ScriptedPresenter::TrayHistory() const {
  std::lock_guard<std::mutex> guard(m_);
  return trays_;
}

std::vector<BalloonRecord> ScriptedPresenter::Balloons() const {
  std::lock_guard<std::mutex> guard(m_);
  return balloons_;
}

}  // namespace tarvex
