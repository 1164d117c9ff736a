// Shared pieces of the Windows system-cleaning tests: the helper programs
// built next to the test binary, running processes that end with the test,
// registry keys that the test creates and removes, and the scripted answer
// of the virus-found prompt.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support.h"

namespace krelvon::test {

// The helper program NAME.exe built next to this test binary.
std::string helper_program(const std::string& name);

// A started program, ended (and waited for) when the object goes.
class RunningProgram {
 public:
  // Starts "path" arguments; ok() tells whether it started.
  RunningProgram(const std::string& path, const std::string& arguments = "");
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  bool ok() const { return process_ != nullptr; }
  DWORD id() const { return id_; }
  // True when the process has ended within wait_ms.
  bool ended(DWORD wait_ms = 2000) const;
  // The exit code of an ended process; STILL_ACTIVE while it runs.
  DWORD exit_code() const;

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// Keys created under HKEY_LOCAL_MACHINE for one test. create() makes a key
// and the missing keys above it; every key that did not exist before is
// deleted with all below it when the object goes.
class ScratchKeys {
 public:
  ScratchKeys() = default;
  ~ScratchKeys();
  ScratchKeys(const ScratchKeys&) = delete;
  ScratchKeys& operator=(const ScratchKeys&) = delete;
  bool create(const std::string& path);

 private:
  std::vector<std::string> created_;
};

bool hklm_key_exists(const std::string& path);

// A name no other test uses: prefix and a random number.
std::string unique_name(const std::string& prefix);

// The virus-found prompt answers every question with `action`, recording
// each object it was asked about; clear_prompt() uninstalls it.
void answer_prompt_with(int action);
void clear_prompt();
std::vector<std::string>& prompted_objects();

bool file_exists(const std::string& path);

// Copies the sleeper helper program to path.
bool copy_sleeper(const std::string& path);

// A scan test with the runnable worm sample ("W32/BugBear.B.Worm", 5632
// bytes, sleeping a minute) written under a name of its own into a folder
// of the test (`folder` below dir, "" for dir itself). The prompt script is
// removed at the end.
class WormSampleTest : public ScanTest {
 protected:
  void write_sample(const std::string& folder);
  void TearDown() override;
  TempDir dir;
  std::string file_name;
  std::string path;
};

}  // namespace krelvon::test
