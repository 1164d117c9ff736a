// Files that others set up, as the handlers meet them on a real disk:
// read-only, hidden and system files, a file that another running program
// holds open, names with ANSI characters beyond ASCII, and paths at the
// 260-character limit. Runs natively and under Wine; the held-open case and
// the hidden and system attributes need the Win32 API.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "engine/walker.h"
#include "platform/files/restart.h"
#include "tests/handler_scenarios.h"
#ifdef _WIN32
#include "tests/pending_operations.h"
#endif
#include "tests/support.h"
#include "tools/samples.h"

using krelvon::g_scan;
namespace s = krelvon::samples;
namespace t = krelvon::test;

namespace {

constexpr char kB[] = "W32/BugBear.B.Worm";

#ifdef _WIN32
constexpr DWORD kOddAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
#else
// Here hidden means a name starting with '.', and there is no system bit.
constexpr DWORD kOddAttributes = FILE_ATTRIBUTE_READONLY;
#endif

class HostileFileTest : public t::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    host = s::build_pe(s::typical_host(4));
  }
  static void automatic(int action) { t::automatic(action); }
  s::Bytes sample(const t::Scenario& sc) const { return sc.worm_file ? s::make_worm_file(0, 50688) : s::infect(host); }
  // Writes the file and gives it the odd attributes; returns what the
  // system reports for it then.
  DWORD write_odd(const std::string& path_in_dir, const s::Bytes& bytes, std::string* path) {
    *path = dir.write(path_in_dir, bytes);
    EXPECT_TRUE(SetFileAttributesA(path->c_str(), kOddAttributes));
    return GetFileAttributesA(path->c_str());
  }
  bool exists(const std::string& p) const { return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES; }
  int done_count() const { return g_scan.files_disinfected + g_scan.files_renamed + g_scan.files_deleted; }
  std::string lines() const {
    std::string all;
    for (const auto& l : window->lines) all += "\n  " + l;
    return all;
  }

  t::TempDir dir;
  s::Bytes host;
};

// --- attributes ---------------------------------------------------------------

TEST_F(HostileFileTest, OddAttributesComeBackAfterCheckDisinfectionAndIgnore) {
  std::string clean, inf, ignored;
  const DWORD clean_attributes = write_odd("clean.exe", host, &clean);
  const DWORD inf_attributes = write_odd("infected.exe", s::infect(host), &inf);
  const DWORD ignored_attributes = write_odd("ignored.exe", s::infect(host), &ignored);
#ifdef _WIN32
  EXPECT_EQ(inf_attributes & kOddAttributes, kOddAttributes);
#endif
  automatic(krelvon::kActionDisinfect);
  EXPECT_EQ(krelvon::handle_worm_file(kB, clean.c_str()), 0);
  EXPECT_EQ(krelvon::handle_infected_file(kB, clean.c_str()), 0);
  EXPECT_EQ(GetFileAttributesA(clean.c_str()), clean_attributes);

  EXPECT_EQ(krelvon::handle_infected_file(kB, inf.c_str()), 1) << lines();
  EXPECT_EQ(s::read_file(inf), s::with_infection_flags(host));
  EXPECT_EQ(GetFileAttributesA(inf.c_str()), inf_attributes);

  automatic(krelvon::kActionIgnore);
  EXPECT_EQ(krelvon::handle_infected_file(kB, ignored.c_str()), 0);
  EXPECT_EQ(GetFileAttributesA(ignored.c_str()), ignored_attributes);
  EXPECT_EQ(s::read_file(ignored), s::infect(host));
}

TEST_F(HostileFileTest, OddAttributesDoNotStopDeleteOrRename) {
  automatic(krelvon::kActionDelete);
  std::string worm, inf;
  write_odd("worm.exe", s::make_worm_file(0, 50688), &worm);
  write_odd("infected.exe", s::infect(host), &inf);
  EXPECT_EQ(krelvon::handle_worm_file(kB, worm.c_str()), 1);
  EXPECT_EQ(krelvon::handle_infected_file(kB, inf.c_str()), 0);
  EXPECT_FALSE(exists(worm));
  EXPECT_FALSE(exists(inf));
  EXPECT_EQ(g_scan.files_deleted, 2) << lines();

  // The worm-file handler renames without touching the attributes; the
  // infected-file handler had set archive-only, and the renamed file keeps it.
  automatic(krelvon::kActionRename);
  const DWORD worm_attributes = write_odd("worm2.exe", s::make_worm_file(0, 50688), &worm);
  write_odd("infected2.exe", s::infect(host), &inf);
  krelvon::handle_worm_file(kB, worm.c_str());
  krelvon::handle_infected_file(kB, inf.c_str());
  EXPECT_EQ(GetFileAttributesA((dir / "worm2.Vxe").c_str()), worm_attributes);
  EXPECT_EQ(GetFileAttributesA((dir / "infected2.Vxe").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(g_scan.files_renamed, 2) << lines();
}

// --- names and paths ----------------------------------------------------------

// Characters of the ANSI code page beyond ASCII (e, u with accents, A umlaut,
// sharp s in code page 1252); on POSIX the same bytes, which are not UTF-8.
TEST_F(HostileFileTest, NamesWithAnsiCharactersBeyondAscii) {
  const std::string folder = "caf\xe9 \xfc\xc4\xdf";
  const std::string inf = dir.write(folder + "/pr\xfc" "fung.exe", s::infect(host));
  const std::string worm = dir.write(folder + "/\xc4rger.dll", s::make_worm_file(2, 5632));
  const std::string text = dir.write(folder + "/r\xe9sum\xe9.txt", "plain text");
  ASSERT_TRUE(exists(inf));
  automatic(krelvon::kActionDisinfect);
  EXPECT_EQ(krelvon::walk((dir / (folder + "/*.*")).c_str()), 3);
  EXPECT_EQ(s::read_file(inf), s::with_infection_flags(host));
  EXPECT_FALSE(exists(worm));
  EXPECT_TRUE(exists(text));
  std::vector<std::string> want = {inf + "     " + kB + " Disinfected", worm + "     " + kB + " deleted"};
  std::sort(want.begin(), want.end());
  std::vector<std::string> got = window->lines;
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want);
}

// The longest path that fits in 260 characters with its terminator: found,
// disinfected, renamed and deleted under its full name.
TEST_F(HostileFileTest, PathsOfTwoHundredFiftyNineCharacters) {
  const std::size_t base = dir.path().size() + 1;
  const std::size_t name_length = 12;  // "host-000.exe"
  ASSERT_LT(base + name_length + 20, 259u);
  std::string folder(259 - base - name_length - 1, 'd');
  if (folder.size() > 200) folder = std::string(100, 'd') + "/" + std::string(folder.size() - 101, 'e');
  auto at = [&](const char* name) { return dir / (folder + "/" + name); };
  const std::string inf = dir.write(folder + "/host-000.exe", s::infect(host));
  const std::string worm = dir.write(folder + "/worm-002.dll", s::make_worm_file(2, 5632));
  ASSERT_EQ(inf.size(), 259u);
  ASSERT_TRUE(exists(inf));

  automatic(krelvon::kActionDisinfect);
  EXPECT_EQ(krelvon::walk((dir / (folder + "/*.*")).c_str()), 2);
  EXPECT_EQ(s::read_file(inf), s::with_infection_flags(host)) << lines();
  EXPECT_FALSE(exists(worm));
  for (const auto& l : window->lines) EXPECT_EQ(l.rfind(dir / folder, 0), 0u) << l;

  automatic(krelvon::kActionRename);
  const std::string renamed = dir.write(folder + "/host-001.exe", s::infect(host));
  EXPECT_EQ(krelvon::handle_infected_file(kB, renamed.c_str()), 0);
  EXPECT_TRUE(exists(at("host-001.Vxe"))) << lines();
  EXPECT_EQ(g_scan.files_renamed, 1);
#ifndef _WIN32
  // A name ending in '.' gets a 'V' appended: one character too many here,
  // so the file is left where it is (Windows drops a trailing dot itself).
  const std::string dotted = dir.write(folder + "/host-003.ex.", s::infect(host));
  ASSERT_EQ(dotted.size(), 259u);
  EXPECT_EQ(krelvon::handle_infected_file(kB, dotted.c_str()), 0);
  EXPECT_EQ(window->lines.back(), dotted + "     " + kB + " Rename failed");
  EXPECT_EQ(s::read_file(dotted), s::infect(host));
#endif
}

#ifdef _WIN32
// --- a file held open by a running program ------------------------------------

// Runs hold_open.exe (next to this program) on a file: it opens the file for
// reading, sharing reading only, and sleeps, as a running program holding
// its file would. Ended when the object goes.
class Holder {
 public:
  Holder(const std::string& file, const std::string& ready) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string exe(self);
    // Wine names a program started from a folder that no drive maps
    // "unix\..."; with the "\\?\" prefix the file functions reach it.
    if (exe.rfind("unix\\", 0) == 0) exe = "\\\\?\\" + exe;
    exe = exe.substr(0, exe.find_last_of("\\/") + 1) + "hold_open.exe";
    const std::string folder = ready.substr(0, ready.find_last_of("\\/"));
    std::string command = "\"" + exe + "\" \"" + file + "\" \"" + ready + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process_)) {
      why_ = "cannot start " + exe + ": error " + std::to_string(GetLastError());
      return;
    }
    for (int i = 0; i < 200 && !holding_; ++i) {
      holding_ = GetFileAttributesA(ready.c_str()) != INVALID_FILE_ATTRIBUTES;
      if (!holding_ && WaitForSingleObject(process_.hProcess, 50) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        why_ = exe + " ended with " + std::to_string(code);
        break;
      }
    }
  }
  ~Holder() {
    if (process_.hProcess == nullptr) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 10000);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  bool holding() const { return holding_; }
  const std::string& why() const { return why_; }

 private:
  std::string why_;
  PROCESS_INFORMATION process_{};
  bool holding_ = false;
};

// Nobody may write, rename or delete the file while the program holds it.
// The NT line leaves the delete or rename for the next start: the line
// says so, the file counts as infected only, the operation is pending once
// (however often it is chosen), and the file is as it was (a file to be
// deleted keeps archive-only attributes: the deletion at the start refuses
// a read-only file). A disinfection fails cleanly; no line claims what did
// not happen.
TEST_F(HostileFileTest, AFileHeldOpenByARunningProgramIsLeftForTheRestart) {
  ASSERT_TRUE(krelvon_nt_line()) << "Wine reports the NT line to this program";
  t::PendingOperationsKept kept;
  t::TempDir markers;
  int held = 0;
  for (const auto& sc : t::kScenarios) {
    window->lines.clear();
    g_scan.files_disinfected = g_scan.files_renamed = g_scan.files_deleted = 0;
    g_scan.restart_pending = false;
    const std::string name = std::string(sc.worm_file ? "worm" : "host") + std::to_string(sc.action) + ".exe";
    std::string path;
    const s::Bytes bytes = sample(sc);
    const DWORD attributes = write_odd(name, bytes, &path);
    Holder holder(path, markers / (name + ".held"));
    ASSERT_TRUE(holder.holding()) << sc.name << ": " << holder.why();
    ++held;
    const bool disinfects = sc.action == krelvon::kActionDisinfect && !sc.worm_file;
    const bool renames = sc.action == krelvon::kActionRename;
    // Twice: the second finds the operation pending already.
    for (int run = 0; run < 2; ++run) {
      window->lines.clear();
      t::run_scenario(sc, path);
      const std::string outcome = disinfects ? " Could not disinfect"
                                  : renames  ? " will be renamed at restart"
                                             : " will be deleted at restart";
      EXPECT_EQ(window->lines, std::vector<std::string>{path + "     " + kB + outcome}) << sc.name;
    }
    for (const auto& l : window->lines) EXPECT_FALSE(t::claims_success(l)) << sc.name << lines();
    EXPECT_EQ(done_count(), 0) << sc.name;
    EXPECT_EQ(g_scan.files_infected, 2 * held) << sc.name;
    EXPECT_EQ(g_scan.restart_pending, !disinfects) << sc.name;
    EXPECT_EQ(g_scan.finding.ok, !disinfects) << sc.name;
    EXPECT_EQ(s::read_file(path), bytes) << sc.name;
    EXPECT_EQ(GetFileAttributesA(path.c_str()), disinfects || renames ? attributes : FILE_ATTRIBUTE_ARCHIVE)
        << sc.name;
    const std::string target = path.substr(0, path.size() - 3) + "Vxe";
    EXPECT_FALSE(exists(target)) << sc.name;
    int entries = 0;
    for (const auto& op : kept.now()) {
      if (_stricmp(op.source.c_str(), path.c_str()) != 0) continue;
      ++entries;
      EXPECT_EQ(op.target, renames ? target : std::string()) << sc.name;
    }
    EXPECT_EQ(entries, disinfects ? 0 : 1) << sc.name;
  }
}
#endif

}  // namespace
