// The two file handlers on samples from the sample factory: recognition,
// every action with its finding lines and counters, attributes, and the
// disinfection round trip. Runs natively and under Wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ask_for_action.h"
#include "engine/scan_context.h"
#include "engine/walker.h"
#include "handlers/handler_support.h"
#include "handlers/infected_file.h"
#include "handlers/signatures.h"
#include "handlers/worm_file.h"
#include "tests/support.h"
#include "tools/samples.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

using krelvon::g_scan;
namespace s = krelvon::samples;

namespace {

constexpr char kB[] = "W32/BugBear.B.Worm";

class HandlerTest : public krelvon::test::ScanTest {
 protected:
  void automatic(int action) {
    g_scan.handling_automatic = 1;
    g_scan.action_disinfect = action == krelvon::kActionDisinfect;
    g_scan.action_rename = action == krelvon::kActionRename;
    g_scan.action_delete = action == krelvon::kActionDelete;
    g_scan.action_ignore = action == krelvon::kActionIgnore;
  }
  bool exists(const std::string& p) { return _access(p.c_str(), 0) == 0; }
  s::Bytes host(int sections = 4, std::uint8_t seed = 3) {
    s::PeLayout layout = s::typical_host(sections);
    layout.fill_seed = seed;
    return s::build_pe(layout);
  }
  krelvon::test::TempDir dir;
};

// --- worm files -------------------------------------------------------------

TEST_F(HandlerTest, WormFileLengthRules) {
  automatic(krelvon::kActionIgnore);
  struct Case {
    int record;
    std::uint32_t length;
    bool matches;
  } cases[] = {{0, 50688, true},  {0, 46593, true}, {0, 54783, true}, {0, 46592, false}, {0, 54784, false},
               {1, 5632, true},   {1, 5633, false}, {2, 5632, true},  {2, 5633, false}};
  for (const auto& c : cases) {
    const std::string p = dir.write("w" + std::to_string(c.record) + "-" + std::to_string(c.length) + ".exe",
                                    s::make_worm_file(c.record, c.length));
    const int before = g_scan.files_infected;
    EXPECT_EQ(krelvon::handle_worm_file(kB, p.c_str()), c.matches ? 1 : 0) << c.record << " " << c.length;
    EXPECT_EQ(g_scan.files_infected - before, c.matches ? 1 : 0);
  }
}

TEST_F(HandlerTest, WormFileIgnoreUsesTheRecordsNameInPromptAndLine) {
  automatic(krelvon::kActionIgnore);
  const std::string p = dir.write("w.exe", s::make_worm_file(0, 50688));
  EXPECT_EQ(krelvon::handle_worm_file(kB, p.c_str()), 1);
  EXPECT_EQ(std::string(g_scan.name), "W32/BugBear.Worm");
  EXPECT_EQ(window->lines, std::vector<std::string>{p + "     W32/BugBear.Worm not disinfected as per user's selection"});
  EXPECT_TRUE(exists(p));
}

TEST_F(HandlerTest, WormFileDisinfectDeletesAndCountsAsDeleted) {
  automatic(krelvon::kActionDisinfect);
  const std::string p = dir.write("w.dll", s::make_worm_file(2, 5632));
  SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(krelvon::handle_worm_file(kB, p.c_str()), 1);
  EXPECT_FALSE(exists(p));
  EXPECT_EQ(g_scan.files_deleted, 1);
  EXPECT_EQ(g_scan.files_disinfected, 0);
  EXPECT_EQ(window->lines, std::vector<std::string>{p + "     W32/BugBear.B.Worm deleted"});
}

// The 'V' goes after the last '.' of the file name, never into a folder's
// name: a name without '.' gets ".V" in its own folder (a sibling folder
// "site.V" stays empty), and a name already ending like a renamed one would
// move nothing, so that rename fails and the file stays. The record holds
// where each file went.
TEST_F(HandlerTest, RenameStaysInTheFilesOwnFolder) {
  automatic(krelvon::kActionRename);
  dir.mkdir("site.V");
  const std::string w = dir.write("site.d/w.exe", s::make_worm_file(1, 5632));
  const std::string payload = dir.write("site.d/payload", s::make_worm_file(1, 5632));
  const std::string host = dir.write("site.d/host", s::infect(this->host()));
  const std::string again = dir.write("site.d/again.Vxe", s::make_worm_file(1, 5632));
  std::vector<std::string> new_paths;
  for (const std::string& p : {w, payload, host, again}) {
    if (krelvon::handle_worm_file(kB, p.c_str()) == 0) krelvon::handle_infected_file(kB, p.c_str());
    new_paths.emplace_back(g_scan.finding.new_path);
  }
  EXPECT_TRUE(exists(dir / "site.d/w.Vxe"));
  EXPECT_TRUE(exists(dir / "site.d/payload.V"));
  EXPECT_TRUE(exists(dir / "site.d/host.V"));
  EXPECT_TRUE(exists(again));
  EXPECT_FALSE(exists(dir / "site.V/payload"));
  EXPECT_FALSE(exists(dir / "site.V/host"));
  EXPECT_EQ(new_paths, (std::vector<std::string>{dir / "site.d/w.Vxe", dir / "site.d/payload.V",
                                                 dir / "site.d/host.V", ""}));
  EXPECT_EQ(g_scan.files_renamed, 3);
  EXPECT_EQ(window->lines, (std::vector<std::string>{w + "     W32/BugBear.B.Worm renamed",
                                                     payload + "     W32/BugBear.B.Worm renamed",
                                                     host + "     W32/BugBear.B.Worm renamed",
                                                     again + "     W32/BugBear.B.Worm renamed"}));
  // Already in renamed form: the rename line, nothing moved nor counted.
  EXPECT_EQ(g_scan.finding.outcome, krelvon::FindingOutcome::kRenamedEarlier);
  EXPECT_TRUE(g_scan.finding.ok);
}

TEST(RenameTarget, OnlyTheFileNameChanges) {
  const std::string sep(1, krelvon::kSep);
  const struct {
    std::string path, target;  // empty target: no rename
  } cases[] = {
      {"a.exe", "a.Vxe"},
      {"d.x" + sep + "f.exe", "d.x" + sep + "f.Vxe"},
      {"d.x" + sep + "f", "d.x" + sep + "f.V"},
      {"end." + sep + "payload", "end." + sep + "payload.V"},
      {"d" + sep + "f.", "d" + sep + "f.V"},
      {"d" + sep + ".hidden", "d" + sep + ".Vidden"},
      {"d" + sep + "f.Vxe", ""},
      {"d" + sep + "f.V", ""},
      {std::string(258, 'p'), ""},  // ".V" would not fit
      {std::string(257, 'p'), std::string(257, 'p') + ".V"},
  };
  for (const auto& c : cases) {
    char target[krelvon::kPathCapacity];
    const bool made = krelvon::rename_target(c.path.c_str(), target);
    EXPECT_EQ(made, !c.target.empty()) << c.path;
    if (made) {
      EXPECT_EQ(target, c.target) << c.path;
    }
  }
#ifdef _WIN32
  char target[krelvon::kPathCapacity];
  ASSERT_TRUE(krelvon::rename_target("C:/d.x/f", target));
  EXPECT_STREQ(target, "C:/d.x/f.V") << "'/' separates too";
#endif
}

// A prompt that ends without an answer, after an earlier answer of Delete:
// the worm file and the host are left exactly as they were, each with its
// one line, and the record says no action.
TEST_F(HandlerTest, APromptWithoutAnAnswerLeavesTheFileAlone) {
  static std::vector<int> answers;
  answers = {krelvon::kActionDelete, IDCANCEL, IDOK};
  krelvon::set_prompt_runner([](const char*, const char*) {
    const int command = answers.front();
    answers.erase(answers.begin());
    krelvon::prompt_command(command, false);
  });
  g_scan.handling_prompt = 1;
  const s::Bytes infected = s::infect(host());
  const std::string first = dir.write("first.exe", s::make_worm_file(0, 50688));
  const std::string worm = dir.write("worm.exe", s::make_worm_file(0, 50688));
  const std::string inf = dir.write("inf.exe", infected);
  ASSERT_TRUE(SetFileAttributesA(inf.c_str(), FILE_ATTRIBUTE_READONLY));
  const DWORD attributes = GetFileAttributesA(inf.c_str());
  EXPECT_EQ(krelvon::handle_worm_file(kB, first.c_str()), 1);
  EXPECT_EQ(krelvon::handle_worm_file(kB, worm.c_str()), 1);
  EXPECT_EQ(g_scan.finding.action, krelvon::kActionNone);
  EXPECT_EQ(krelvon::handle_infected_file(kB, inf.c_str()), 0);
  EXPECT_EQ(g_scan.finding.action, krelvon::kActionNone);
  EXPECT_STREQ(g_scan.finding.path, inf.c_str());
  krelvon::set_prompt_runner(nullptr);
  EXPECT_FALSE(exists(first));
  EXPECT_EQ(s::read_file(worm), s::make_worm_file(0, 50688));
  EXPECT_EQ(s::read_file(inf), infected);
  EXPECT_EQ(GetFileAttributesA(inf.c_str()), attributes);
  EXPECT_EQ(window->lines, (std::vector<std::string>{
                               first + "     W32/BugBear.B.Worm deleted",
                               worm + "     W32/BugBear.Worm not disinfected as per user's selection",
                               inf + "     W32/BugBear.B.Worm not disinfected as per user's selection"}));
  EXPECT_EQ(g_scan.files_deleted, 1);
}

TEST_F(HandlerTest, WormFileRenameFailsWhenTheTargetExists) {
  automatic(krelvon::kActionRename);
  const std::string p = dir.write("w.exe", s::make_worm_file(0, 50688));
  dir.write("w.Vxe", "occupied");
  krelvon::handle_worm_file(kB, p.c_str());
  EXPECT_EQ(window->lines, std::vector<std::string>{p + "     W32/BugBear.B.Worm Rename failed"});
  EXPECT_EQ(g_scan.files_renamed, 0);
}

TEST_F(HandlerTest, WormFileInTheMemoryPhaseOnlyMarks) {
  automatic(krelvon::kActionDelete);
  g_scan.memory_phase = true;
  const std::string p = dir.write("w.exe", s::make_worm_file(0, 50688));
  EXPECT_EQ(krelvon::handle_worm_file(kB, p.c_str()), 1);
  EXPECT_TRUE(g_scan.found_in_memory);
  EXPECT_TRUE(exists(p));
  EXPECT_TRUE(window->lines.empty());
  // Second pass: the memory action is carried out without asking.
  g_scan.handling_automatic = 0;
  g_scan.memory_action = krelvon::kActionDelete;
  EXPECT_EQ(krelvon::handle_worm_file(kB, p.c_str()), 1);
  EXPECT_FALSE(exists(p));
  EXPECT_EQ(g_scan.files_infected, 2);
  EXPECT_EQ(window->lines,
            (std::vector<std::string>{krelvon::kSystemMemoryLine, p + "     W32/BugBear.B.Worm deleted"}));
}

TEST_F(HandlerTest, CleanAndForeignFilesAreNotTaken) {
  automatic(krelvon::kActionDelete);
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, s::Bytes>>{
           {"clean.exe", host()}, {"empty", {}}, {"short", s::Bytes(61, 'M')}, {"text.txt", s::Bytes(5632, 'a')}}) {
    const std::string p = dir.write(name, bytes);
    EXPECT_EQ(krelvon::handle_worm_file(kB, p.c_str()), 0) << name;
    EXPECT_EQ(krelvon::handle_infected_file(kB, p.c_str()), 0) << name;
    EXPECT_TRUE(exists(p));
  }
  EXPECT_EQ(g_scan.files_infected, 0);
  EXPECT_TRUE(window->lines.empty());
}

TEST_F(HandlerTest, AWormFileIsNotPassedToTheInfectedFileHandler) {
  automatic(krelvon::kActionIgnore);
  dir.write("w.exe", s::make_worm_file(0, 50688));
  krelvon::walk((dir.path() + krelvon::kSep + "*.*").c_str());
  EXPECT_EQ(g_scan.files_infected, 1);
  EXPECT_EQ(window->lines.size(), 1u);
}

// --- infected hosts ---------------------------------------------------------

TEST_F(HandlerTest, DisinfectionGivesBackTheHost) {
  automatic(krelvon::kActionDisinfect);
  for (int sections : {1, 2, 3, 4, 8, 12}) {
    const s::Bytes h = host(sections, static_cast<std::uint8_t>(sections));
    const s::Bytes infected = s::infect(h);
    ASSERT_FALSE(infected.empty()) << s::infection_refusal(h);
    const std::string p = dir.write("host" + std::to_string(sections) + ".exe", infected);
    EXPECT_EQ(krelvon::handle_infected_file(kB, p.c_str()), 1) << sections;
    EXPECT_EQ(s::read_file(p), s::with_infection_flags(h)) << sections;
  }
  EXPECT_EQ(g_scan.files_disinfected, 6);
  EXPECT_EQ(g_scan.files_infected, 6);
  EXPECT_EQ(window->lines.back(), (dir / "host12.exe") + "     W32/BugBear.B.Worm Disinfected");
}

TEST_F(HandlerTest, DecryptorVariants) {
  automatic(krelvon::kActionIgnore);
  struct Case {
    const char* name;
    s::InfectOptions o;
    bool recognised;
  };
  s::InfectOptions no_rotation;
  no_rotation.rotation = 0;
  s::InfectOptions attempt2;
  attempt2.key_attempt = 1;  // key pair visible from the second attempt on
  s::InfectOptions attempt25;
  attempt25.key_attempt = 24;
  s::InfectOptions never;
  never.key_attempt = 25;
  s::InfectOptions rotation32;
  rotation32.rotation = 0;
  rotation32.window_rotation = 32;
  s::InfectOptions big_rotation;
  big_rotation.rotation = 200;  // rotates by 200 mod 32
  const Case cases[] = {{"default", {}, true},        {"no-rotation", no_rotation, true},
                        {"attempt2", attempt2, true}, {"attempt25", attempt25, true},
                        {"never", never, false},      {"rotation32", rotation32, false},
                        {"rotation200", big_rotation, true}};
  for (const auto& c : cases) {
    const std::string p = dir.write(std::string(c.name) + ".exe", s::infect(host(), c.o));
    const int before = g_scan.files_infected;
    krelvon::handle_infected_file(kB, p.c_str());
    EXPECT_EQ(g_scan.files_infected - before, c.recognised ? 1 : 0) << c.name;
  }
}

TEST(Decryption, RotationOfThirtyTwoDoublesTheValue) {
  EXPECT_EQ(krelvon::decrypt_step(0x10203040, 0, 32, 0), 0x20406080u);
  EXPECT_EQ(krelvon::decrypt_step(0x80000001, 0, 32, 5), 0x00000007u);
  EXPECT_EQ(krelvon::decrypt_step(0x80000001, 0, 1, 0), 0x00000003u);
  EXPECT_EQ(krelvon::decrypt_step(0x12345678, 0xFFFFFFFF, 0, 1), 0xEDCBA988u);
}

TEST(Decryption, ParametersAreTheFirstNonzeroOfEachPair) {
  std::uint8_t w[100] = {};
  const auto put = [&](int at, std::uint8_t a, std::uint8_t b, std::uint32_t v) {
    w[at] = a;
    w[at + 1] = b;
    for (int k = 0; k < 4; ++k) w[at + 3 + k] = static_cast<std::uint8_t>(v >> (8 * k));
  };
  put(0, 0x81, 0x34, 0);  // zero: ignored
  put(10, 0x81, 0x34, 0xAABBCCDD);
  put(20, 0x81, 0x34, 0x11111111);  // later: ignored
  put(30, 0xC1, 0x04, 9);
  put(90, 0x81, 0x04, 0x22222222);  // beyond position 89: never examined
  const auto p = krelvon::find_decryptor_parameters(w);
  EXPECT_EQ(p.key, 0xAABBCCDDu);
  EXPECT_EQ(p.rotation, 9);
  EXPECT_EQ(p.addend, 0u);
}

TEST_F(HandlerTest, HeaderCheckVariantIsRecognisedAndDisinfected) {
  automatic(krelvon::kActionDisinfect);
  s::PeLayout layout = s::typical_host(3);
  layout.header_offset = 0x100;  // room for the marker at 128
  const s::Bytes h = s::build_pe(layout);
  s::InfectOptions o;
  o.header_check_variant = true;
  const std::string p = dir.write("hc.exe", s::infect(h, o));
  EXPECT_EQ(krelvon::handle_infected_file(kB, p.c_str()), 1);
  EXPECT_EQ(window->lines, std::vector<std::string>{p + "     W32/BugBear.B.Worm Disinfected"});
  s::Bytes expected = s::with_infection_flags(h);
  std::copy(krelvon::kHeaderPattern.begin(), krelvon::kHeaderPattern.end(), expected.begin() + 128);
  EXPECT_EQ(s::read_file(p), expected);  // the marker in the DOS stub stays
}

TEST_F(HandlerTest, AFileThatIsOnlyTheWormIsDeletedOnDisinfect) {
  automatic(krelvon::kActionDisinfect);
  const std::string p = dir.write("only.exe", s::make_worm_only_file());
  EXPECT_EQ(krelvon::handle_infected_file(kB, p.c_str()), 0);
  EXPECT_FALSE(exists(p));
  EXPECT_EQ(g_scan.files_deleted, 1);
  EXPECT_EQ(g_scan.files_disinfected, 0);
  EXPECT_EQ(window->lines, std::vector<std::string>{p + "     W32/BugBear.B.Worm deleted"});
}

TEST_F(HandlerTest, ASectionWithoutTheWriteFlagIsNotRecognised) {
  automatic(krelvon::kActionDisinfect);
  s::Bytes b = s::infect(host());
  const std::uint32_t table = s::get32(b, 60) + 248;
  s::put32(b, table + 36, s::get32(b, table + 36) & ~0x80000000u);
  const std::string p = dir.write("ro-section.exe", b);
  EXPECT_EQ(krelvon::handle_infected_file(kB, p.c_str()), 0);
  EXPECT_EQ(s::read_file(p), b);
  EXPECT_EQ(g_scan.files_infected, 0);
}

TEST_F(HandlerTest, InfectedHostRenameDeleteIgnore) {
  const s::Bytes infected = s::infect(host());
  automatic(krelvon::kActionRename);
  const std::string a = dir.write("a.exe", infected);
  SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(krelvon::handle_infected_file(kB, a.c_str()), 0);
  EXPECT_TRUE(exists(dir / "a.Vxe"));
  // A renamed read-only file keeps the archive attribute alone.
  EXPECT_EQ(GetFileAttributesA((dir / "a.Vxe").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  automatic(krelvon::kActionDelete);
  const std::string b = dir.write("b.exe", infected);
  SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(krelvon::handle_infected_file(kB, b.c_str()), 0);
  EXPECT_FALSE(exists(b));
  automatic(krelvon::kActionIgnore);
  const std::string c = dir.write("c.exe", infected);
  SetFileAttributesA(c.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(krelvon::handle_infected_file(kB, c.c_str()), 0);
  EXPECT_EQ(s::read_file(c), infected);
  EXPECT_NE(GetFileAttributesA(c.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(window->lines, (std::vector<std::string>{a + "     W32/BugBear.B.Worm renamed", b + "     W32/BugBear.B.Worm deleted",
                                                     c + "     W32/BugBear.B.Worm not disinfected as per user's selection"}));
  EXPECT_EQ(g_scan.files_infected, 3);
  EXPECT_EQ(g_scan.files_renamed, 1);
  EXPECT_EQ(g_scan.files_deleted, 1);
}

TEST_F(HandlerTest, AttributesAreRestoredAfterTheCheck) {
  automatic(krelvon::kActionDisinfect);
  const std::string clean = dir.write("clean.exe", host());
  ASSERT_TRUE(SetFileAttributesA(clean.c_str(), FILE_ATTRIBUTE_READONLY));
  const DWORD before = GetFileAttributesA(clean.c_str());
  EXPECT_EQ(krelvon::handle_infected_file(kB, clean.c_str()), 0);
  EXPECT_EQ(GetFileAttributesA(clean.c_str()), before);
  // A read-only infected host is disinfected and keeps its attributes.
  const s::Bytes h = host();
  const std::string inf = dir.write("inf.exe", s::infect(h));
  ASSERT_TRUE(SetFileAttributesA(inf.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(krelvon::handle_infected_file(kB, inf.c_str()), 1);
  EXPECT_NE(GetFileAttributesA(inf.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(s::read_file(inf), s::with_infection_flags(h));
}

// Examining changes nothing: a read-only host, a clean read-only program
// and a read-only worm file, each looked at with Ignore, keep their
// attributes and (POSIX) their mode and change time, which a mode change
// and back would have moved.
TEST_F(HandlerTest, ExaminingAFileChangesNothingAboutIt) {
  automatic(krelvon::kActionIgnore);
  const std::vector<std::string> files = {dir.write("inf.exe", s::infect(host())), dir.write("clean.exe", host()),
                                          dir.write("worm.exe", s::make_worm_file(0, 50688))};
  struct Seen {
    DWORD attributes;
    std::string stamp;
  };
  const auto seen = [](const std::string& p) {
    std::string stamp;
#ifndef _WIN32
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    stamp = std::to_string(st.st_mode) + " " + std::to_string(st.st_ctim.tv_sec) + "." +
            std::to_string(st.st_ctim.tv_nsec) + " " + std::to_string(st.st_mtim.tv_nsec);
#endif
    return Seen{GetFileAttributesA(p.c_str()), stamp};
  };
  std::vector<Seen> before;
  for (const std::string& p : files) {
    ASSERT_TRUE(SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_READONLY));
    before.push_back(seen(p));
  }
  krelvon::walk((dir.path() + krelvon::kSep + "*.*").c_str());
  EXPECT_EQ(g_scan.files_infected, 2);
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(seen(files[i]).attributes, before[i].attributes) << files[i];
    EXPECT_EQ(seen(files[i]).stamp, before[i].stamp) << files[i];
  }
}

TEST_F(HandlerTest, TheMemoryPhaseFirstCheckOnlyMarksAnInfectedHost) {
  automatic(krelvon::kActionDisinfect);
  g_scan.memory_phase = true;
  const s::Bytes infected = s::infect(host());
  const std::string p = dir.write("m.exe", infected);
  EXPECT_EQ(krelvon::handle_infected_file(kB, p.c_str()), 1);
  EXPECT_TRUE(g_scan.found_in_memory);
  EXPECT_EQ(s::read_file(p), infected);
  EXPECT_TRUE(window->lines.empty());
}

TEST_F(HandlerTest, ACutOutsideTheFileIsNeverAttempted) {
  automatic(krelvon::kActionDisinfect);
  // An infected layout whose entry offset lies below the cut distance: the
  // disinfection must refuse before it writes anything.
  s::Bytes b = s::make_worm_only_file();
  b = s::infect(host(2));
  const std::uint32_t pe = s::get32(b, 60);
  const std::uint16_t n = static_cast<std::uint16_t>(b[pe + 6] | (b[pe + 7] << 8));
  const std::uint32_t upx1 = pe + 248 + 40u * (n - 2u);
  // Move UPX1's raw data pointer so the entry offset becomes small.
  const std::uint32_t raw = s::get32(b, upx1 + 20);
  s::put32(b, upx1 + 20, raw - 69920u + 100u);
  const std::string p = dir.write("short-cut.exe", b);
  krelvon::handle_infected_file(kB, p.c_str());
  EXPECT_EQ(s::read_file(p), b);
  EXPECT_EQ(g_scan.files_disinfected, 0);
}

}  // namespace
