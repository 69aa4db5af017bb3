// AppleScript as the agent uses it: it runs two scripts of its own, one
// that lists Safari's open tabs and one that opens an address in a new tab
// of Safari's front window, and reads their results as event descriptors.
//
// No script interpreter runs here. A ScriptRunner takes the text of a
// script and answers as the interpreter would; the runners below accept
// only the agent's two scripts and refuse any other text:
// - SafariFixtureRunner answers from a fixture standing for Safari, the
//   JSON file named by $TARVEX_SAFARI_FIXTURE:
//   {"running": bool, "windows": [[{"url", "title", "offsets"}]],
//    "openedLog": path}; each address opened is appended as a line to
//   "openedLog" (when given). Without the variable Safari is not running.
// - RecordingScriptRunner (tests) keeps every text it was given and answers
//   with the results the test queued.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarvex::mac {

// An event descriptor: nothing (missing value), text, a list, or a record
// (labelled fields in order).
struct Descriptor {
  enum class Kind { Missing, Text, List, Record };
  Kind kind = Kind::Missing;
  std::string text;                 // Text
  std::vector<Descriptor> items;    // List items, or a Record's field values
  std::vector<std::string> labels;  // a Record's field labels, one per item

  static Descriptor Missing() { return {}; }
  static Descriptor Text(std::string text);
  static Descriptor List(std::vector<Descriptor> items);
  static Descriptor Record(std::vector<std::pair<std::string, Descriptor>> fields);

  // The number of items; text and missing values have none.
  size_t numberOfItems() const { return items.size(); }
  // The item at `index` (from 1), as descriptors are indexed.
  const Descriptor& itemAtIndex(size_t index) const { return items.at(index - 1); }
  // True for a list or record with at least one item.
  bool hasFirstItem() const { return (kind == Kind::List || kind == Kind::Record) && !items.empty(); }
  // The text of a text descriptor; "" for any other.
  const std::string& stringValue() const { return text; }

  friend bool operator==(const Descriptor&, const Descriptor&) = default;
};

struct ScriptResult {
  bool ok = false;
  Descriptor result;
  std::string error;  // the script's error message when not ok
};

// The script that lists Safari's open tabs: nothing unless Safari runs
// (asked of System Events); otherwise a list holding, for every window with
// at least one tab that has an address, the record {window: tabs}, each tab
// the list {address, title, "X,Y"} of its address, title and the page's
// scroll offsets.
extern const char kOpenTabsScript[];
// The script that opens an address in a new tab of Safari's front window
// and raises that window; "%@" stands for the body of the string literal
// holding the address.
extern const char kOpenAddressScript[];

// `text` as the body of an AppleScript string literal: "\" written "\\" and
// "\"" written "\\\"".
std::string EscapeAppleScriptString(const std::string& text);
// kOpenAddressScript with the literal's body `escapedAddress`, put in as
// text (never read as a format).
std::string OpenAddressScriptFor(const std::string& escapedAddress);

class ScriptRunner {
 public:
  virtual ~ScriptRunner() = default;
  virtual ScriptResult Run(const std::string& text) = 0;
};

class SafariFixtureRunner : public ScriptRunner {
 public:
  ScriptResult Run(const std::string& text) override;
};

class RecordingScriptRunner : public ScriptRunner {
 public:
  // Answers with the queued results in order, then with an empty list.
  ScriptResult Run(const std::string& text) override;
  void Queue(ScriptResult result);
  std::vector<std::string> Texts() const;

 private:
  mutable std::mutex mutex_;
  std::deque<ScriptResult> queued_;
  std::vector<std::string> texts_;
};

// The address in an open-address script, or nothing when `text` is no such
// script: another text, a literal that ends early (a bare "\"" in it), an
// escape other than "\\\\" and "\\\"", or a control character.
std::optional<std::string> AddressOfOpenScript(const std::string& text);

// The runner the agent's scripts go to: a SafariFixtureRunner unless a test
// set one.
ScriptRunner& SharedScriptRunner();
// Sets the runner SharedScriptRunner() answers (nullptr: back to the
// fixture). It must outlive its use.
void SetSharedScriptRunner(ScriptRunner* runner);

}  // namespace tarvex::mac
