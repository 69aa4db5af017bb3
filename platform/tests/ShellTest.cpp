// The shell's "open": which addresses and programs it takes, what it hands
// on as argument vectors, and what it refuses without starting anything.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/TempDir.h"
#include "platform/win/Shell.h"

namespace tarvex {
namespace {

struct Started {
  bool page = false;
  std::vector<std::string> argv;
};

class ShellTest : public ::testing::Test {
 protected:
  ShellTest() {
    SetShellHook([this](bool page, const std::vector<std::string>& argv) {
      started_.push_back({page, argv});
      return intptr_t{42};
    });
    std::ofstream(program_) << "#!/bin/sh\n";
    ::chmod(program_.c_str(), 0700);
    std::ofstream(document_) << "text";
  }
  ~ShellTest() override { SetShellHook({}); }

  testing::TempDir temp_;
  const std::string program_ = temp_.path() + "/my program";
  const std::string document_ = temp_.path() + "/notes.txt";
  std::vector<Started> started_;
};

TEST_F(ShellTest, OpensWebAddressesAndProgramsOnlyAndAsArgumentVectors) {
  struct Case {
    std::string verb, file, params;
    intptr_t result;
    bool page;
    std::vector<std::string> argv;  // empty: nothing started
  };
  const std::vector<Case> cases = {
      {"open",
       "https://www.example.com/page?a=1&b=2",
       "",
       42,
       true,
       {"https://www.example.com/page?a=1&b=2"}},
      {"", "HTTP://example.com/", "", 42, true, {"HTTP://example.com/"}},
      {"open", program_, "-q", 42, false, {program_, "-q"}},
      {"open", program_, "two words; rm -rf ~", 42, false, {program_, "two words; rm -rf ~"}},
      {"open", program_, "", 42, false, {program_}},
      {"open", "javascript:alert(1)", "", SE_ERR_ACCESSDENIED, false, {}},
      {"open", "file:///etc/passwd", "", SE_ERR_ACCESSDENIED, false, {}},
      {"open", "https://example.com/\nSet-Cookie: x", "", SE_ERR_ACCESSDENIED, false, {}},
      {"open", "https://", "", SE_ERR_ACCESSDENIED, false, {}},
      {"open", "sh", "-c id", SE_ERR_ACCESSDENIED, false, {}},
      {"open", document_, "", SE_ERR_ACCESSDENIED, false, {}},
      {"open", temp_.path(), "", SE_ERR_ACCESSDENIED, false, {}},
      {"open", temp_.path() + "/missing", "", SE_ERR_FNF, false, {}},
      {"runas", program_, "", SE_ERR_ACCESSDENIED, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + c.params);
    started_.clear();
    EXPECT_EQ(ShellExecute(c.verb, c.file, c.params), c.result);
    if (c.argv.empty()) {
      EXPECT_TRUE(started_.empty()) << "nothing may start";
    } else {
      ASSERT_EQ(started_.size(), 1u);
      EXPECT_EQ(started_[0].page, c.page);
      EXPECT_EQ(started_[0].argv, c.argv);
    }
  }
}

TEST_F(ShellTest, StartsAProgramForReal) {
  SetShellHook({});
  const std::string mark = temp_.path() + "/ran";
  std::ofstream(program_) << "#!/bin/sh\necho \"$1\" > '" << mark << ".part' && mv '" << mark
                          << ".part' '" << mark << "'\n";
  EXPECT_GT(ShellExecute("open", program_, "an argument"), 32);
  for (int i = 0; i < 200 && !std::filesystem::exists(mark); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::ifstream in(mark);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "an argument");
}

}  // namespace
}  // namespace tarvex
