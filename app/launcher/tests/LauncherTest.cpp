// Tarvex for Safari as a program: which main script it runs, what the
// script sees (arguments, import path) and how a start that cannot go on
// ends. Each case builds a Resources folder of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "app/launcher/tests/LauncherRun.h"
#include "platform/testing/TempDir.h"

namespace tarvex::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class LauncherTest : public ::testing::Test {
 protected:
  LauncherTest() {
    for (const auto& dir : {resources_, work_, home_}) std::filesystem::create_directory(dir);
    ::chmod(root_.path().c_str(), 0755);
    ::chmod(resources_.c_str(), 0755);
  }

  // The script `source` as Resources/`name`: a main.py as it is, a compiled
  // name compiled by the interpreter the launcher embeds.
  void Script(const std::string& name, const std::string& source) {
    if (name.ends_with(".py")) return WriteAll(resources_ + "/" + name, source);
    const std::string src = root_ / "source.py";
    WriteAll(src, source);
    LaunchOptions compile;
    compile.args = {
        "-c",
        "import py_compile, sys; py_compile.compile(sys.argv[1], cfile=sys.argv[2], doraise=True)",
        src, resources_ + "/" + name};
    compile.program = PYTHON_PROGRAM;
    const auto made = Launch(compile);
    ASSERT_EQ(made.exitCode, 0) << made.err;
  }

  LaunchResult Run(std::vector<std::string> args = {}, LaunchOptions options = {}) {
    options.args = std::move(args);
    options.env.emplace("TARVEX_RESOURCES", resources_);
    options.env.emplace("HOME", home_);
    if (options.cwd.empty()) options.cwd = work_;
    return Launch(options);
  }

  TempDir root_;
  std::string resources_ = root_ / "Resources";
  std::string work_ = root_ / "work";
  std::string home_ = root_ / "home";
};

const char kNoMainPattern[] =
    "Launcher\\.cpp:[0-9]+ main\\(\\) Failed to find the Main\\.\\{py,pyc,pyo\\} file in the "
    "application wrapper's Resources directory\\.\n";

std::string RunFailedText(const std::string& script) {
  return "main() PyRun_SimpleFile failed with file '" + script + "'.  See console for errors.";
}

// Which of main.py, main.pyc and main.pyo runs; compiled scripts run from
// any current folder.
TEST_F(LauncherTest, RunsTheFirstMainScriptThatIsARegularFile) {
  struct Case {
    std::vector<std::string> present;
    std::string runs;  // "" when none is found
  } cases[] = {
      {{"main.py", "main.pyc", "main.pyo"}, "main.py"},
      {{"main.pyc", "main.pyo"}, "main.pyc"},
      {{"main.pyo"}, "main.pyo"},
      {{"main.pyc"}, "main.pyc"},
      {{"Main.py", "MAIN.PYC"}, ""},
      {{"main.py/", "main.pyc"}, "main.pyc"},  // a folder named main.py is passed over
      {{"main.py/", "main.pyc/"}, ""},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(resources_);
    std::filesystem::create_directory(resources_);
    std::string names;
    for (const auto& name : c.present) {
      names += name + " ";
      if (name.ends_with("/"))
        std::filesystem::create_directory(resources_ + "/" + name);
      else
        Script(name, "print('ran " + name + "')\n");
    }
    const auto result = Run();
    if (c.runs.empty()) {
      EXPECT_EQ(result.exitCode, 1) << names;
      EXPECT_TRUE(std::regex_match(result.err, std::regex(kNoMainPattern))) << names << result.err;
      EXPECT_EQ(result.out, "") << names;
    } else {
      EXPECT_EQ(result.exitCode, 0) << names << result.err;
      EXPECT_EQ(result.out, "ran " + c.runs + "\n") << names << result.err;
    }
  }
}

// A script that fails, exits or cannot be read, or an interpreter that does
// not start: the exit code and what is told on standard error.
TEST_F(LauncherTest, EndsWithTheScriptsResultOrAClearMessage) {
  struct Case {
    const char* name;
    std::string source;
    bool unreadable;
    int exitCode;
    std::vector<std::string> told;
    std::vector<std::string> notTold;
    std::optional<std::string> pythonHome;  // PYTHONHOME for the program
  } cases[] = {
      {"raises",
       "print('before')\nraise RuntimeError('x')\n",
       false,
       1,
       {"Traceback (most recent call last):", "RuntimeError: x",
        RunFailedText(resources_ + "/main.py")},
       {},
       std::nullopt},
      {"exits with 3",
       "import sys\nsys.exit(3)\n",
       false,
       3,
       {},
       {"PyRun_SimpleFile failed"},
       std::nullopt},
      {"exits with 0",
       "import sys\nsys.exit(0)\n",
       false,
       0,
       {},
       {"PyRun_SimpleFile failed"},
       std::nullopt},
      {"syntax error",
       "def (:\n",
       false,
       1,
       {"SyntaxError", RunFailedText(resources_ + "/main.py")},
       {},
       std::nullopt},
      {"unreadable",
       "print('secret')\n",
       true,
       1,
       {"Permission denied", RunFailedText(resources_ + "/main.py")},
       {"secret"},
       std::nullopt},
      {"no interpreter",
       "print('started')\n",
       false,
       1,
       {"main() Python did not start: "},
       {"started"},
       root_ / "no-python-here"},
  };
  for (const auto& c : cases) {
    Script("main.py", c.source);
    ::chmod((resources_ + "/main.py").c_str(), c.unreadable ? 0 : 0644);
    LaunchOptions options;
    options.asNobody = c.unreadable;
    if (c.pythonHome) options.env["PYTHONHOME"] = *c.pythonHome;
    const auto result = Run({}, options);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.err;
    for (const auto& text : c.told) EXPECT_THAT(result.err, HasSubstr(text)) << c.name;
    for (const auto& text : c.notTold) {
      EXPECT_THAT(result.err, Not(HasSubstr(text))) << c.name;
      EXPECT_THAT(result.out, Not(HasSubstr(text))) << c.name;
    }
    if (c.name == std::string("raises")) {
      EXPECT_EQ(result.out, "before\n");
    }
  }
}

// The arguments reach the script as they were given, the interpreter's
// options among them; the import path is the Resources folder's and nothing
// else, whatever PYTHONPATH held, and never the current folder.
TEST_F(LauncherTest, ScriptSeesItsArgumentsAndOnlyTheBundlesImportPath) {
  Script("main.py", R"(import json, os, sys
try:
    import probe
    found = True
except ImportError:
    found = False
import helper
print(json.dumps({"argv": sys.argv, "pythonpath": os.environ["PYTHONPATH"],
                  "path": sys.path[:2], "cwd_on_path": "" in sys.path or os.getcwd() in sys.path,
                  "probe": found, "helper": helper.NAME, "file": __file__,
                  "executable": sys.executable,
                  "name": __name__}))
)");
  WriteAll(resources_ + "/helper.py", "NAME = 'beside main'\n");
  WriteAll(work_ + "/probe.py", "raise SystemExit('the current folder was imported from')\n");

  const std::vector<std::string> args = {"-c", "print(1)", "-m", "site", "--", "", "-I", "ünï"};
  LaunchOptions options;
  options.env["PYTHONPATH"] = work_ + ":";
  const auto result = Run(args, options);
  ASSERT_EQ(result.exitCode, 0) << result.err;

  std::string expectedArgv = std::string("[\"") + LAUNCHER_PROGRAM + "\"";
  for (const auto& a : args) expectedArgv += ", \"" + a + "\"";
  expectedArgv += "]";
  // json.dumps escapes non-ASCII text.
  expectedArgv = std::regex_replace(expectedArgv, std::regex("ünï"), "\\u00fcn\\u00ef");
  EXPECT_THAT(result.out, HasSubstr("\"argv\": " + expectedArgv));
  EXPECT_THAT(result.out,
              HasSubstr("\"pythonpath\": \"" + resources_ + ":" + resources_ + "/PyObjC\""));
  EXPECT_THAT(result.out,
              HasSubstr("\"path\": [\"" + resources_ + "\", \"" + resources_ + "/PyObjC\"]"));
  EXPECT_THAT(result.out, HasSubstr("\"cwd_on_path\": false"));
  EXPECT_THAT(result.out, HasSubstr("\"probe\": false"));
  EXPECT_THAT(result.out, HasSubstr("\"helper\": \"beside main\""));
  EXPECT_THAT(result.out, HasSubstr("\"file\": \"main.py\""));
  EXPECT_THAT(result.out, HasSubstr("\"name\": \"__main__\""));
  EXPECT_THAT(result.out, HasSubstr(std::string("\"executable\": \"") + PYTHON_PROGRAM + "\""));
}

// Without TARVEX_RESOURCES the program runs the main script of the bundle it
// lies in, also when it is started through a link from elsewhere.
TEST_F(LauncherTest, RunsTheMainScriptOfItsOwnBundle) {
  const std::string link = work_ + "/Tarvex";
  ASSERT_EQ(::symlink(LAUNCHER_PROGRAM, link.c_str()), 0);
  for (const std::string& program : {std::string(LAUNCHER_PROGRAM), link}) {
    LaunchOptions options;
    options.program = program;
    options.cwd = work_;
    options.env["TARVEX_RESOURCES"] = std::nullopt;
    options.env["HOME"] = home_;
    const auto result = Launch(options);
    EXPECT_EQ(result.exitCode, 0) << program << "\n" << result.err;
    EXPECT_THAT(result.out, HasSubstr("Tarvex for Safari")) << program;
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(
      std::filesystem::path(LAUNCHER_PROGRAM).parent_path().parent_path() / "Resources" /
      "main.py"));
  EXPECT_EQ(std::filesystem::path(LAUNCHER_PROGRAM).parent_path().filename(), "MacOS");
}

}  // namespace
}  // namespace tarvex::testing
