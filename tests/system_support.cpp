#include "tests/system_support.h"

#include <cstdlib>
#include <random>

#include "engine/ask_for_action.h"
#include "engine/scan_context.h"
#include "tools/samples.h"

namespace krelvon::test {

std::string helper_program(const std::string& name) {
  // __argv[0] keeps the form of path the program was started by (Wine's
  // GetModuleFileNameA drops the \\?\ of a path outside the drives).
  std::string folder = __argv[0];
  const std::size_t slash = folder.find_last_of("\\/");
  folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
  return folder + "\\" + name + ".exe";
}

RunningProgram::RunningProgram(const std::string& path, const std::string& arguments) {
  std::string command = "\"" + path + "\"";
  if (!arguments.empty()) command += " " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // The program starts in the system's temporary folder: the test's own
  // folder may be one a Windows program cannot enter (outside Wine's
  // drives), and a folder of the test would be held as its current folder
  // and could not be removed with the test's files.
  char folder[MAX_PATH] = {};
  const DWORD n = GetTempPathA(sizeof folder, folder);
  if (CreateProcessA(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     n > 0 && n < sizeof folder ? folder : nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
    // Until the program has started, Toolhelp and psapi may not show it.
    WaitForInputIdle(process_, 500);
    Sleep(100);
  }
}

RunningProgram::~RunningProgram() {
  if (process_ == nullptr) return;
  if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
}

bool RunningProgram::ended(DWORD wait_ms) const {
  return process_ != nullptr && WaitForSingleObject(process_, wait_ms) == WAIT_OBJECT_0;
}

DWORD RunningProgram::exit_code() const {
  DWORD code = 0;
  return process_ != nullptr && GetExitCodeProcess(process_, &code) ? code : STILL_ACTIVE;
}

bool hklm_key_exists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool ScratchKeys::create(const std::string& path) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t slash = path.find('\\', from);
    const std::string prefix = path.substr(0, slash);
    if (!hklm_key_exists(prefix)) {
      HKEY key = nullptr;
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
        return false;
      RegCloseKey(key);
      created_.push_back(prefix);
    }
    if (slash == std::string::npos) return true;
    from = slash + 1;
  }
}

ScratchKeys::~ScratchKeys() {
  // Deepest first; a key already gone with its parent needs nothing.
  for (auto it = created_.rbegin(); it != created_.rend(); ++it)
    if (hklm_key_exists(*it)) RegDeleteTreeA(HKEY_LOCAL_MACHINE, it->c_str());
}

std::string unique_name(const std::string& prefix) {
  std::random_device rd;
  return prefix + std::to_string(rd() % 1000000);
}

namespace {
int g_answer = kActionNone;

void scripted_prompt(const char*, const char* object) {
  prompted_objects().emplace_back(object);
  prompt_command(g_answer, false);
}
}  // namespace

std::vector<std::string>& prompted_objects() {
  static std::vector<std::string> v;
  return v;
}

void answer_prompt_with(int action) {
  g_answer = action;
  prompted_objects().clear();
  g_scan.handling_prompt = 1;
  g_scan.handling_automatic = 0;
  g_scan.apply_to_all = 0;
  set_prompt_runner(&scripted_prompt);
}

void clear_prompt() { set_prompt_runner(nullptr); }

bool file_exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool copy_sleeper(const std::string& path) {
  return CopyFileA(helper_program("krelvon_test_sleeper").c_str(), path.c_str(), FALSE) != FALSE;
}

void WormSampleTest::write_sample(const std::string& folder) {
  file_name = unique_name("krvworm") + ".exe";
  path = dir.write(folder.empty() ? file_name : folder + "/" + file_name,
                   samples::make_runnable_worm_file(2, 60000));
}

void WormSampleTest::TearDown() {
  clear_prompt();
  ScanTest::TearDown();
}

}  // namespace krelvon::test
