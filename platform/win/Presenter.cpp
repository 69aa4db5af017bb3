#include "platform/win/Presenter.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/win/ScriptedPresenter.h"
#include "platform/win/Window.h"
#include "platform/win/WebPresenter.h"
#include "text/Text.h"

namespace tarvex {
namespace {

std::mutex& Lock() {
  static auto* m = new std::mutex;
  return *m;
}
std::shared_ptr<Presenter>& Current() {
  static auto* current = new std::shared_ptr<Presenter>;
  return *current;
}

// How a program started with a script that fails ends: at once, with the
// failure on its standard error stream, so the test that started it fails
// instead of waiting.
constexpr int kScriptFailedExitCode = 86;

}  // namespace

std::shared_ptr<Presenter> PresenterFromEnvironment(std::string* error) {
  const char* env = std::getenv("TARVEX_PRESENTER");
  const std::string name = env && *env ? env : "web";
  if (name == "null") return std::make_shared<NullPresenter>();
  if (name == "web") {
    std::shared_ptr<WebPresenter> web =
        WebPresenter::Start(WebPresenterOptions::FromEnvironment(), error);
    return web;
  }
  if (name.rfind("script:", 0) == 0) {
    std::shared_ptr<ScriptedPresenter> script = ScriptedPresenter::FromFile(name.substr(7), error);
    if (script) {
      script->OnFailure([](const std::string& failure) {
        std::fprintf(stderr, "tarvex: the script failed: %s\n", failure.c_str());
        ExitProcessAnswered(kScriptFailedExitCode);
      });
    }
    return script;
  }
  *error = Format("TARVEX_PRESENTER [%s] is none of script:<file>, web and null", name);
  return nullptr;
}

std::shared_ptr<Presenter> CurrentPresenter() {
  std::lock_guard<std::mutex> guard(Lock());
  std::shared_ptr<Presenter>& current = Current();
  if (!current) {
    std::string error;
    current = PresenterFromEnvironment(&error);
    if (!current) {
      // Nobody can be asked: every question gets its cancel.
      WindowsLog(Format("No presenter: %s; questions are answered with their cancel", error));
      current = std::make_shared<NullPresenter>();
    }
  }
  return current;
}

std::shared_ptr<Presenter> SetPresenter(std::shared_ptr<Presenter> presenter) {
  std::lock_guard<std::mutex> guard(Lock());
  std::swap(Current(), presenter);
  return presenter;
}

std::string DescribeDialog(const DialogSnapshot& dialog) {
  std::string text = "\"" + dialog.title + "\"";
  for (const ControlState& c : dialog.controls) {
    if (!c.visible || c.text.empty()) continue;
    if (c.kind == ControlKind::Static || c.kind == ControlKind::Edit)
      text += " \"" + c.text + "\"";
    else if (c.kind == ControlKind::Button || c.kind == ControlKind::DefaultButton ||
             c.kind == ControlKind::CheckBox || c.kind == ControlKind::Radio)
      text += " [" + std::to_string(c.id) + " " + c.text + "]";
  }
  return text;
}

void NullPresenter::DialogShown(const DialogSnapshot& dialog) {
  const ControlState* cancel = dialog.Find(dialog.cancelControl);
  if (cancel) {
    WindowsLog(Format("Nobody to answer dialog %d, pressing \"%s\": %s", dialog.templateId,
                      cancel->text, DescribeDialog(dialog)));
    SendDialogInput(dialog.window, DialogInput::Click(cancel->id));
  } else {
    WindowsLog(Format("Nobody to answer dialog %d, ending it as cancelled: %s", dialog.templateId,
                      DescribeDialog(dialog)));
    SendDialogInput(dialog.window, DialogInput::ForceEnd(IDCANCEL));
  }
}

void NullPresenter::Balloon(const BalloonRecord& balloon) {
  WindowsLog(Format("Balloon \"%s\": %s", balloon.title, balloon.text));
}

void NullPresenter::MenuShown(const MenuSnapshot& menu) {
  WindowsLog("Nobody to choose from a menu, dismissing it");
  DismissMenu(menu.window);
}

}  // namespace tarvex
