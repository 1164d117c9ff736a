// The backup of krelvon-scan through the real handlers on real folders:
// what the manifest says, what the copies hold, what the restore puts back
// and what it refuses; SHA-256 against the FIPS 180 examples.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "backup/backup.h"
#include "backup/manifest.h"
#include "backup/sha256.h"
#include "engine/change_guard.h"
#include "engine/scan_context.h"
#include "engine/walker.h"
#include "tests/handler_scenarios.h"
#include "tests/support.h"
#include "tools/samples.h"

namespace fs = std::filesystem;
namespace s = krelvon::samples;
namespace m = krelvon::cli::manifest;
using krelvon::cli::Backup;
using krelvon::test::TempDir;

namespace {

std::string sha(const std::string& bytes) {
  krelvon::cli::Sha256 h;
  h.update(bytes.data(), bytes.size());
  return h.hex();
}
std::string sha(const s::Bytes& bytes) { return sha(std::string(bytes.begin(), bytes.end())); }

TEST(Sha256Test, FipsExamplesAndEveryWayOfFeedingTheBytes) {
  EXPECT_EQ(sha(std::string("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha(std::string()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // 448 bits: the padding takes a block of its own.
  EXPECT_EQ(sha(std::string("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha(std::string("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                            "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(sha(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Any split of the input into pieces gives the digest of the whole.
  std::string text;
  for (int i = 0; i < 200; ++i) text += static_cast<char>(i * 7 + 3);
  for (std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 128u, 200u}) {
    const std::string whole = sha(text.substr(0, length));
    for (std::size_t piece = 1; piece <= 70; ++piece) {
      krelvon::cli::Sha256 h;
      for (std::size_t at = 0; at < length; at += piece)
        h.update(text.data() + at, std::min(piece, length - at));
      ASSERT_EQ(h.hex(), whole) << "length " << length << " in pieces of " << piece;
    }
  }
}

TEST(ManifestTest, LinesReadBackExactlyAndDamageIsLeftOut) {
  m::Entry e;
  e.run = "R1";
  e.number = 7;
  // Every kind of byte a file name may hold on POSIX: not UTF-8, quotes,
  // backslashes, control characters.
  e.path = std::string("/a/\xe9t\xc3\xa9 \"q\" \\b\n\t\x01.exe");
  e.action = "rename";
  e.to = e.path + "V";
  e.copy = "R1-7";
  e.sha256 = std::string(64, 'a');
  e.meta.size = 1ull << 40;
  e.meta.mode = 0644;
  e.meta.accessed = 1700000000123456789;
  e.meta.modified = -5;
  e.meta.created = 3;
  e.meta.owner = 1000;
  e.meta.group = 100;
  e.meta.identity = {0xFFFFFFFFFFFFFFFFull, 12345};
  m::Entry after = e;
  after.outcome = "renamed";
  after.after_to = e.to;
  after.after_sha256 = std::string(64, 'b');
  m::Entry later = after;
  later.outcome = "unknown";
  later.after_to.clear();
  later.after_sha256.clear();

  // A folder whose name holds a line feed stays one folder.
  const std::string text = m::header_line() + "\n" +
                           m::run_line("R1", "2025-01-02T03:04:05Z", {"/a", "/b\n/c"}, {"2049:7", ""}) + "\n" +
                           m::before_line(e) + "\n" + m::after_line(after) + "\n" + m::after_line(later) + "\n" +
                           "{\"type\":\"after\",\"run\":\"R9\",\"entry\":1,\"outcome\":\"deleted\"}\n" +
                           m::before_line(e).substr(0, 40);
  const m::Contents c = m::read(text);
  ASSERT_TRUE(c.ours);
  ASSERT_EQ(c.runs.size(), 1u);
  EXPECT_EQ(c.runs[0].name, "R1");
  EXPECT_EQ(c.runs[0].folders, (std::vector<std::string>{"/a", "/b\n/c"}));
  EXPECT_EQ(c.runs[0].identities, (std::vector<std::string>{"2049:7", ""}));
  EXPECT_EQ(c.run("R1"), &c.runs[0]);
  EXPECT_EQ(c.run("R2"), nullptr);
  ASSERT_EQ(c.entries.size(), 1u);
  const m::Entry& r = c.entries[0];
  EXPECT_EQ(r.path, e.path);
  EXPECT_EQ(r.to, e.to);
  EXPECT_EQ(r.action, "rename");
  EXPECT_EQ(r.copy, "R1-7");
  EXPECT_EQ(r.number, 7);
  EXPECT_EQ(r.meta.size, e.meta.size);
  EXPECT_EQ(r.meta.mode, e.meta.mode);
  EXPECT_EQ(r.meta.accessed, e.meta.accessed);
  EXPECT_EQ(r.meta.modified, e.meta.modified);
  EXPECT_EQ(r.meta.identity, e.meta.identity);
#ifdef _WIN32
  EXPECT_EQ(r.meta.created, 3);
#else
  EXPECT_EQ(r.meta.owner, 1000u);
  EXPECT_EQ(r.meta.group, 100u);
#endif
  // The last after line of an entry holds.
  EXPECT_TRUE(r.settled);
  EXPECT_EQ(r.outcome, "unknown");
  EXPECT_EQ(r.after_to, "");
  // An after line of no known entry is damage; the last line cut short,
  // without its line feed, what a stopped scanner leaves.
  EXPECT_EQ(c.damaged_lines, 1);
  EXPECT_EQ(c.cut_short, 1);
  EXPECT_FALSE(c.ends_with_newline);
  // The next run closes the cut line and writes its run line right after
  // it: still a stopped scanner's. The same line anywhere else, or at the
  // end with its line feed, is damage.
  const std::string cut = m::before_line(e).substr(0, 40) + "\n";
  const std::string header = m::header_line() + "\n";
  const std::string run2 = m::run_line("R2", "2025-01-02T03:04:05Z", {"/a"}, {""}) + "\n";
  const m::Contents closed = m::read(header + cut + run2 + m::before_line(e) + "\n");
  EXPECT_EQ(closed.cut_short, 1);
  EXPECT_EQ(closed.damaged_lines, 0);
  const m::Contents inside = m::read(header + run2 + cut + m::before_line(e) + "\n" + cut);
  EXPECT_EQ(inside.cut_short, 0);
  EXPECT_EQ(inside.damaged_lines, 2);
  // Older run lines have no identities.
  const m::Contents old = m::read(header + "{\"type\":\"run\",\"run\":\"R0\",\"folders\":[\"/x\"]}\n");
  ASSERT_EQ(old.runs.size(), 1u);
  EXPECT_EQ(old.runs[0].folders, std::vector<std::string>{"/x"});
  EXPECT_TRUE(old.runs[0].identities.empty());

  EXPECT_FALSE(m::read("{\"type\":\"finding\"}\n").ours);
  // An empty manifest: a first run stopped before it wrote a line.
  EXPECT_TRUE(m::read("").ours);
  EXPECT_TRUE(m::read("").entries.empty());
  m::Fields f;
  EXPECT_FALSE(m::parse_object("{\"a\":\"b\"", &f));
  EXPECT_FALSE(m::parse_object("{\"a\":\"b\"} x", &f));
  EXPECT_FALSE(m::parse_object("{\"a\":\"\\q\"}", &f));
}

// ---- Scans with the backup installed ----------------------------------

struct Stamp {
  s::Bytes bytes;
  std::uint32_t attributes = 0;  // GetFileAttributesA
  fs::file_time_type modified;
  bool operator==(const Stamp& o) const {
    return bytes == o.bytes && attributes == o.attributes && modified == o.modified;
  }
};

Stamp stamp(const std::string& path) {
  Stamp st;
  st.bytes = s::read_file(path);
  st.attributes = GetFileAttributesA(path.c_str());
  st.modified = fs::last_write_time(path);
  return st;
}

bool present(const std::string& path) { return _access(path.c_str(), 0) == 0; }

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class BackupTest : public krelvon::test::ScanTest {
 protected:
  void TearDown() override {
    krelvon::set_change_guard(nullptr);
    ScanTest::TearDown();
  }

  // A folder of three findings: a read-only infected host with an old
  // time stamp (disinfected), a worm file (deleted), a second host
  // (renamed), and a clean program.
  void make_folder() {
    host = s::build_pe(s::typical_host(4));
    const s::Bytes other = s::build_pe(s::typical_host(3));
    a = dir.write("data/a.exe", s::infect(host));
    w = dir.write("data/sub/w.exe", s::make_worm_file(0, 50688));
    c = dir.write("data/c.exe", s::infect(other));
    clean = dir.write("data/clean.exe", other);
    fs::last_write_time(a, fs::last_write_time(a) - std::chrono::hours(24 * 400));
    ASSERT_TRUE(SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_READONLY));
    for (const std::string* p : {&a, &w, &c, &clean}) before.push_back(stamp(*p));
  }

  // One scan run of the backup folder B: a disinfected, w deleted, c renamed.
  void scan(Backup& backup) {
    std::string error;
    ASSERT_TRUE(backup.open(dir / "B", {dir / "data"}, &error)) << error;
    krelvon::set_change_guard(&backup);
    const std::pair<std::string, int> runs[] = {{a, krelvon::kActionDisinfect},
                                                {w, krelvon::kActionDelete},
                                                {c, krelvon::kActionRename},
                                                {clean, krelvon::kActionDelete}};
    for (const auto& [path, action] : runs) {
      krelvon::test::automatic(action);
      krelvon::run_threat_table(path.c_str());
    }
    krelvon::set_change_guard(nullptr);
    ASSERT_TRUE(backup.finish());
  }

  int restore(std::vector<std::string> paths = {}, bool force = false) {
    std::FILE* out = std::tmpfile();
    const int status = krelvon::cli::restore(dir / "B", paths, force, out, out);
    std::rewind(out);
    restored.clear();
    char line[1024];
    while (std::fgets(line, sizeof line, out)) restored += line;
    std::fclose(out);
    return status;
  }

  bool all_as_before() {
    const std::string* paths[] = {&a, &w, &c, &clean};
    for (std::size_t i = 0; i < 4; ++i)
      if (!present(*paths[i]) || !(stamp(*paths[i]) == before[i])) return false;
    return !present(dir / "data/c.Vxe");
  }

  TempDir dir;
  s::Bytes host;
  std::string a, w, c, clean, restored;
  std::vector<Stamp> before;
};

TEST_F(BackupTest, EveryChangeOfAScanIsKeptAndTheRestorePutsTheFolderBack) {
  make_folder();
  Backup backup;
  scan(backup);
  ASSERT_EQ(window->lines.size(), 3u);
  EXPECT_EQ(window->lines[0], a + "     W32/BugBear.B.Worm Disinfected");
  EXPECT_EQ(window->lines[1], w + "     W32/BugBear.B.Worm deleted");
  EXPECT_EQ(window->lines[2], c + "     W32/BugBear.B.Worm renamed");
  EXPECT_EQ(s::read_file(a), s::with_infection_flags(host));

  // One entry per changed file, none for the clean one; each copy holds
  // the original and is named in a before line with its digest, mode and
  // time stamp; the after lines say what the scan left.
  const m::Contents man = m::read(read_text(dir / "B/manifest.jsonl"));
  ASSERT_TRUE(man.ours);
  EXPECT_EQ(man.damaged_lines, 0);
  ASSERT_EQ(man.entries.size(), 3u);
  const char* actions[] = {"rewrite", "delete", "rename"};
  const char* outcomes[] = {"rewritten", "deleted", "renamed"};
  for (std::size_t i = 0; i < 3; ++i) {
    const m::Entry& e = man.entries[i];
    EXPECT_EQ(e.action, actions[i]);
    EXPECT_EQ(e.outcome, outcomes[i]);
    EXPECT_EQ(e.sha256, sha(before[i].bytes)) << e.path;
    EXPECT_EQ(s::read_file(dir / ("B/" + e.copy)), before[i].bytes) << e.path;
    EXPECT_EQ(e.meta.size, before[i].bytes.size());
  }
  EXPECT_EQ(man.entries[0].after_sha256, sha(s::with_infection_flags(host)));
  EXPECT_EQ(man.entries[2].after_to, krelvon::cli::files::full_path(dir / "data/c.Vxe"));
  EXPECT_EQ(man.entries[2].after_sha256, sha(before[2].bytes));
  // The host's mode as it was before the check set its attributes, and
  // its time stamp.
#ifdef _WIN32
  EXPECT_NE(man.entries[0].meta.mode & FILE_ATTRIBUTE_READONLY, 0u);
#else
  EXPECT_EQ(man.entries[0].meta.mode, 0444u);
#endif

  EXPECT_EQ(restore(), 0) << restored;
  EXPECT_TRUE(all_as_before()) << restored;
#ifndef _WIN32
  // The time stamp kept is the original's (put back unchanged, above).
  struct stat st {};
  ASSERT_EQ(::stat(a.c_str(), &st), 0);
  EXPECT_EQ(man.entries[0].meta.modified, st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec);
#endif
  EXPECT_NE(restored.find("3 restored, 0 already in place, 0 refused, 0 failed"), std::string::npos) << restored;
  // Nothing left beside the files.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir / "data")) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.exe", "c.exe", "clean.exe", "sub"}));
  // A second restore finds every original in place and does nothing.
  EXPECT_EQ(restore(), 0);
  EXPECT_NE(restored.find("0 restored, 3 already in place"), std::string::npos) << restored;
  EXPECT_TRUE(all_as_before());
}

TEST_F(BackupTest, TheRestoreRefusesFilesChangedSinceTheScanUnlessForced) {
  make_folder();
  Backup backup;
  scan(backup);
  // Since the scan: a rewritten by someone, a new file where w was, the
  // renamed file changed.
  const s::Bytes theirs(1000, 'x');
  SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_ARCHIVE);
  dir.write("data/a.exe", theirs);
  dir.write("data/sub/w.exe", theirs);
  dir.write("data/c.Vxe", theirs);

  // Only the entries under data/sub: w is refused, a and c not looked at.
  EXPECT_EQ(restore({dir / "data/sub"}), krelvon::cli::kRestoreIncomplete);
  EXPECT_NE(restored.find("refused: " + krelvon::cli::files::full_path(w) + ": changed since the scan"),
            std::string::npos)
      << restored;
  EXPECT_NE(restored.find("0 restored, 0 already in place, 1 refused, 0 failed"), std::string::npos) << restored;
  EXPECT_EQ(s::read_file(w), theirs);

  // All: c comes back (nothing was at its path), its renamed file is kept.
  EXPECT_EQ(restore(), krelvon::cli::kRestoreIncomplete);
  EXPECT_NE(restored.find("1 restored, 0 already in place, 2 refused, 0 failed"), std::string::npos) << restored;
  EXPECT_NE(restored.find("c.Vxe kept: changed since the scan"), std::string::npos) << restored;
  EXPECT_EQ(s::read_file(a), theirs);
  EXPECT_EQ(s::read_file(dir / "data/c.Vxe"), theirs);
  EXPECT_TRUE(stamp(c) == before[2]);

  // A path under which the backup holds nothing is a usage error.
  EXPECT_EQ(restore({dir / "elsewhere"}), 2);

  // --force: the originals over the changed files.
  EXPECT_EQ(restore({}, true), 0) << restored;
  EXPECT_TRUE(stamp(a) == before[0]);
  EXPECT_TRUE(stamp(w) == before[1]);
}

// What a scanner stopped in the middle of an action leaves: before lines
// with no after line, a file part written, a line cut short.
TEST_F(BackupTest, AStoppedScanIsPutBackFromTheBeforeLinesAlone) {
  make_folder();
  Backup backup;
  scan(backup);
  const std::string manifest_path = dir / "B/manifest.jsonl";
  const std::string text = read_text(manifest_path);
  std::string cut;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at + 1);
    if (line.find("\"type\":\"after\"") == std::string::npos) cut += line;
    at = end + 1;
  }
  cut += m::before_line(m::read(text).entries[0]).substr(0, 50);
  dir.write("B/manifest.jsonl", cut);

  // a rewritten in part (the same file), c renamed, w deleted.
  SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_ARCHIVE);
  {
    std::fstream f(a, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(100);
    f.write("half", 4);
  }
  // Another file put at a's path is not the scan's unfinished work: it is
  // refused (the scan's file kept aside meanwhile, so that no new file
  // can take its number).
  const std::string aside = dir / "data/a.aside";
  fs::rename(a, aside);
  dir.write("data/a.exe", std::string("new file"));
  EXPECT_EQ(restore(), krelvon::cli::kRestoreIncomplete);
  EXPECT_NE(restored.find("2 restored, 0 already in place, 1 refused"), std::string::npos) << restored;
  EXPECT_EQ(read_text(a), "new file");
  fs::rename(aside, a);
  EXPECT_EQ(restore(), 0) << restored;
  EXPECT_TRUE(all_as_before()) << restored;
  EXPECT_NE(restored.find("1 incomplete manifest line(s) left out"), std::string::npos) << restored;

  // A line damaged anywhere else may have named a file: the restore puts
  // back what it can and says it is not complete.
  const std::size_t first_line = cut.find('\n', cut.find('\n') + 1) + 1;  // after the run line
  dir.write("B/manifest.jsonl", cut.substr(0, first_line) + "{\"type\":\"before\",\"run\":\"" +
                                    m::read(cut).entries[0].run + "\",\"entry\":9,\"pa\n" + cut.substr(first_line));
  EXPECT_EQ(restore(), krelvon::cli::kRestoreIncomplete) << restored;
  EXPECT_NE(restored.find("0 restored, 3 already in place, 0 refused, 0 failed"), std::string::npos) << restored;
  EXPECT_NE(restored.find("1 damaged manifest line(s)"), std::string::npos) << restored;
  dir.write("B/manifest.jsonl", cut);

  // A damaged copy is never put in place.
  SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_ARCHIVE);
  dir.write("data/a.exe", std::string("new file"));
  const m::Entry first = m::read(cut).entries[0];
  dir.write("B/" + first.copy, std::string("damaged"));
  EXPECT_EQ(restore({}, true), krelvon::cli::kRestoreIncomplete);
  EXPECT_NE(restored.find("is damaged"), std::string::npos) << restored;
  EXPECT_EQ(read_text(a), "new file");
}

TEST_F(BackupTest, TheBackupFolderIsCheckedBeforeAnythingIsScanned) {
  const std::string data = dir.mkdir("data/deep");
  std::string error;
  const auto refused = [&](const std::string& folder, const std::vector<std::string>& scanned) {
    Backup b;
    error.clear();
    return !b.open(folder, scanned, &error) && !error.empty();
  };
  EXPECT_TRUE(refused(dir / "data/deep/B", {dir / "data"}));  // would be created inside
  EXPECT_NE(error.find("inside a scanned folder"), std::string::npos) << error;
  EXPECT_FALSE(present(dir / "data/deep/B"));
  EXPECT_TRUE(refused(dir / "data/deep", {dir / "data"}));
  EXPECT_TRUE(refused(dir / "data", {dir / "data"}));
  EXPECT_TRUE(refused(dir / "data", {dir / "data/deep"}));  // a scanned folder inside it
  EXPECT_NE(error.find("lies inside the backup folder"), std::string::npos) << error;
  // The scanned folder named another way: by its own real location.
  EXPECT_TRUE(refused(dir / "data/deep/B", {dir / "data/deep/../../data/."}));
#ifndef _WIN32
  fs::create_directory_symlink(dir / "data/deep", dir / "link");
  EXPECT_TRUE(refused(dir / "link/B", {dir / "data"}));
  // A folder reached through a link below a scanned folder is not scanned.
  fs::create_directory_symlink(dir.mkdir("outside"), dir / "data/out-link");
  Backup through_link;
  EXPECT_TRUE(through_link.open(dir / "data/out-link/B", {dir / "data"}, &error)) << error;
  EXPECT_TRUE(present(dir / "outside/B/manifest.jsonl"));
#endif
  dir.write("foreign/notes.txt", std::string("mine"));
  EXPECT_TRUE(refused(dir / "foreign", {dir / "data"}));
  EXPECT_NE(error.find("holds files but no backup"), std::string::npos) << error;
  dir.write("file", std::string("x"));
  EXPECT_TRUE(refused(dir / "file", {dir / "data"}));
  EXPECT_TRUE(refused(dir / "missing/B", {dir / "data"}));

  // A new folder, then a second run in the same one: one header, two runs.
  {
    Backup first;
    ASSERT_TRUE(first.open(dir / "B", {dir / "data"}, &error)) << error;
    EXPECT_TRUE(first.finish());
  }
  Backup second;
  ASSERT_TRUE(second.open(dir / "B", {dir / "data"}, &error)) << error;
  EXPECT_TRUE(second.finish());
  const m::Contents two = m::read(read_text(dir / "B/manifest.jsonl"));
  EXPECT_TRUE(two.ours);
  ASSERT_EQ(two.runs.size(), 2u);
  EXPECT_NE(two.runs[0].name, two.runs[1].name);
  EXPECT_EQ(two.damaged_lines, 0);
}

// Two runs on the same backup folder: the restore goes newest first, so
// each file ends as the first run found it.
TEST_F(BackupTest, RunsAreUndoneNewestFirst) {
  make_folder();
  {
    Backup first;
    scan(first);
  }
  // The second run meets the renamed host under its new name and
  // disinfects it there.
  Backup second;
  std::string error;
  ASSERT_TRUE(second.open(dir / "B", {dir / "data"}, &error)) << error;
  krelvon::set_change_guard(&second);
  krelvon::test::automatic(krelvon::kActionDisinfect);
  window->lines.clear();
  krelvon::run_threat_table((dir / "data/c.Vxe").c_str());
  krelvon::set_change_guard(nullptr);
  ASSERT_TRUE(second.finish());
  ASSERT_EQ(window->lines.size(), 1u);
  EXPECT_NE(window->lines[0].find("Disinfected"), std::string::npos);
  EXPECT_EQ(restore(), 0) << restored;
  EXPECT_TRUE(all_as_before()) << restored;
}

// A manifest someone else wrote: entries outside the run's folders, with
// "..", through a link that replaced a folder since the scan, a rename
// whose new name lies outside, a copy named outside the backup folder, a
// set-user-ID program of root's, a name holding a line feed. Only what
// the scan itself did, and the forged entry inside the scanned folder, are
// put back; nothing is written or removed anywhere else.
TEST_F(BackupTest, TheRestoreActsOnlyBelowTheFoldersItsRunScanned) {
  make_folder();
  Backup backup;
  scan(backup);
  const std::string manifest_path = dir / "B/manifest.jsonl";
  const std::string run = m::read(read_text(manifest_path)).entries[0].run;
  const std::string bytes = "the forger's program";
  const std::string victim = dir.mkdir("victim");
  const std::string kept = dir.write("victim/kept", bytes);
  std::string forged;
  std::int64_t number = 100;
  const auto forge = [&](const std::string& path, const std::string& action, const std::string& to = "",
                         const std::string& copy = "") {
    m::Entry e;
    e.run = run;
    e.number = ++number;
    e.path = path;
    e.action = action;
    e.to = to;
    e.copy = copy.empty() ? run + "-" + std::to_string(number) : copy;
    if (copy.empty()) dir.write("B/" + e.copy, bytes);
    e.sha256 = sha(bytes);
    e.meta.size = bytes.size();
    e.meta.mode = 04755;
    forged += m::before_line(e) + "\n";
  };
  const std::string data = krelvon::cli::files::full_path(dir / "data");
  const std::string sep(1, krelvon::cli::files::separator());
  forge(krelvon::cli::files::full_path(dir / "victim/planted"), "delete");
  forge(data + sep + "sub" + sep + ".." + sep + ".." + sep + "victim" + sep + "dotdot", "delete");
  forge(data + sep + sep + "empty-name.exe", "delete");
  forge(data + sep + "renamed.exe", "rename", krelvon::cli::files::full_path(kept));
  forge(data + sep + "copied.exe", "delete", "", ".." + sep + "victim" + sep + "kept");
  forge(data + sep + "evil\nrestored - x.exe", "delete");
  forge(data + sep + "suid.exe", "delete");
  std::string other_run = forged.substr(forged.rfind('{'));
  other_run.replace(other_run.find(run), run.size(), "no-such-run");
#ifndef _WIN32
  // A folder below the scanned one is now a link to a folder outside.
  fs::create_directory_symlink(victim, dir / "data/linked");
  forge(data + "/linked/through-link", "delete");
  fs::rename(dir / "data/sub", dir / "data/sub.old");
  fs::create_directory_symlink(victim, dir / "data/sub");
  // The copy is someone else's: the before line's word that root owned
  // the program is not enough.
  const std::string suid_copy = dir / ("B/" + run + "-" + std::to_string(number - 1));
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(suid_copy.c_str(), 12345, 0), 0);
  }
#endif
  std::ofstream(manifest_path, std::ios::app) << forged << other_run;

  // Named by a PATH below the scanned folder: ".." still leads nowhere.
  EXPECT_EQ(restore({dir / "data/sub.old"}), 2) << restored;
  EXPECT_EQ(restore(), krelvon::cli::kRestoreIncomplete);
  const auto said = [&](const std::string& what) {
    EXPECT_NE(restored.find(what), std::string::npos) << what << "\n" << restored;
  };
  said("refused: " + krelvon::cli::files::full_path(dir / "victim/planted") + ": outside the folders its run scanned");
  said("dotdot: not an absolute path of plain names");
  said("empty-name.exe: not an absolute path of plain names");
  said("renamed.exe: its new name " + krelvon::cli::files::full_path(kept) + ": outside the folders its run scanned");
  said("copied.exe: its copy ");
  said("suid.exe: no run line names the folders of its run");
  // One entry, one line: the line feed of the name is shown as \n.
  // (Windows: a name cannot hold one, and the entry is refused.)
  said(data + sep + "evil\\nrestored - x.exe");
  EXPECT_EQ(restored.find("\nrestored - x.exe"), std::string::npos) << restored;
  EXPECT_TRUE(present(kept));
  EXPECT_FALSE(present(dir / "victim/planted"));
  EXPECT_FALSE(present(dir / "victim/dotdot"));
  EXPECT_FALSE(present(dir / "victim/renamed.exe"));
#ifndef _WIN32
  said("through-link: a folder on its way from " + data + " is gone, a link, or on another file system or mount");
  said("refused: " + data + "/sub/w.exe: a folder on its way");
  EXPECT_FALSE(present(dir / "victim/through-link"));
  EXPECT_FALSE(present(dir / "victim/w.exe"));
  said("restored: " + data + sep + "evil\\nrestored - x.exe\n");
  // The forged program inside the scanned folder comes back without its
  // set-user-ID bit.
  said("suid.exe (mode 4755 put back as 0755");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "data/suid.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_NE(restored.find("4 restored, 0 already in place, 8 refused, 0 failed"), std::string::npos) << restored;

  // The scanned folder itself replaced by another one of the same name:
  // nothing of its entries is acted on.
  fs::remove(dir / "data/sub");
  fs::rename(dir / "data/sub.old", dir / "data/sub");
  fs::rename(dir / "data", dir / "data.old");
  fs::create_directory(dir / "data");
  EXPECT_EQ(restore(), krelvon::cli::kRestoreIncomplete);
  said("refused: " + data + "/sub/w.exe: the scanned folder " + data + " is no longer the folder the scan saw");
  EXPECT_TRUE(fs::is_empty(dir / "data"));
#endif
}

#ifndef _WIN32
// Whoever may write to the backup folder, or to a folder above it, may
// rewrite what a later restore puts in place: such a folder is refused,
// for the backup and for the restore. A folder that a bind mount shows
// under another name is still where it lies.
TEST_F(BackupTest, ABackupFolderOthersCouldWriteOrThatHoldsAScannedFolderIsRefused) {
  make_folder();
  Backup backup;
  scan(backup);
  std::string error;
  const auto refused = [&](const std::string& folder, const std::vector<std::string>& scanned,
                           const std::string& why) {
    Backup b;
    error.clear();
    EXPECT_FALSE(b.open(folder, scanned, &error)) << folder;
    EXPECT_NE(error.find(why), std::string::npos) << error;
  };
  const std::string B = dir / "B";
  ASSERT_EQ(::chmod(B.c_str(), 0770), 0);
  refused(B, {dir / "data"}, "the backup folder " + B + " cannot be trusted: " + B +
                                 " can be written by others than its owner");
  EXPECT_EQ(restore(), 2);
  EXPECT_NE(restored.find("cannot be trusted"), std::string::npos) << restored;
  EXPECT_FALSE(stamp(a) == before[0]);  // nothing restored
  ASSERT_EQ(::chmod(B.c_str(), 0700), 0);
  // A folder above it, or the one a new backup folder would be made in.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  refused(B, {dir / "data"}, dir.path() + " can be written by others than its owner");
  refused(dir / "new", {dir / "data"}, dir.path() + " can be written by others than its owner");
  EXPECT_FALSE(present(dir / "new"));
  EXPECT_EQ(restore(), 2);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  if (::geteuid() != 0) GTEST_SKIP() << "owners and mounts: only root can chown and mount";

  // Root's folder with the sticky bit (as /tmp) is fine above it.
  ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
  Backup in_sticky;
  EXPECT_TRUE(in_sticky.open(dir / "new", {dir / "data"}, &error)) << error;
  EXPECT_TRUE(in_sticky.finish());
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  // Another user's folder, though writable by no one else.
  ASSERT_EQ(::chown(B.c_str(), 12345, 12345), 0);
  refused(B, {dir / "data"}, B + " belongs to another user (uid 12345)");
  EXPECT_EQ(restore(), 2);
  ASSERT_EQ(::chown(B.c_str(), 0, 0), 0);
  EXPECT_EQ(restore(), 0) << restored;

  // The scanned folder is a bind mount of a folder inside the backup
  // folder, and the backup folder a bind mount of one inside the scanned
  // folder.
  const std::string inner = dir.mkdir("B/inner"), shown = dir.mkdir("shown");
  const std::string deep = dir.mkdir("data/deep"), bound = dir.mkdir("bound");
  if (::mount(inner.c_str(), shown.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "mount --bind is not permitted here";
  refused(B, {shown}, "a scanned folder lies inside the backup folder");
  ASSERT_EQ(::umount(shown.c_str()), 0);
  ASSERT_EQ(::mount(deep.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr), 0);
  refused(bound, {dir / "data"}, "the backup folder lies inside a scanned folder");
  refused(dir / "bound/B", {dir / "data"}, "the backup folder lies inside a scanned folder");
  EXPECT_FALSE(present(deep + "/B"));
  ASSERT_EQ(::umount(bound.c_str()), 0);
}
#endif

#ifndef _WIN32
// A backup that cannot be made keeps the file from being changed: the
// action is reported failed and the file stays as it was.
TEST_F(BackupTest, NoChangeWithoutADurableCopy) {
  make_folder();
  Backup backup;
  std::string error;
  ASSERT_TRUE(backup.open(dir / "B", {dir / "data"}, &error)) << error;
  krelvon::set_change_guard(&backup);
  // The folder goes away under the open manifest: no copy can be created.
  fs::remove_all(dir / "B");
  const std::pair<std::string, int> runs[] = {
      {a, krelvon::kActionDisinfect}, {w, krelvon::kActionDelete}, {c, krelvon::kActionRename}};
  for (const auto& [path, action] : runs) {
    krelvon::test::automatic(action);
    krelvon::run_threat_table(path.c_str());
  }
  krelvon::set_change_guard(nullptr);
  EXPECT_EQ(window->lines, (std::vector<std::string>{a + "     W32/BugBear.B.Worm Could not disinfect",
                                                     w + "     W32/BugBear.B.Worm Delete failed",
                                                     c + "     W32/BugBear.B.Worm Rename failed"}));
  EXPECT_TRUE(all_as_before());
  EXPECT_EQ(krelvon::g_scan.files_disinfected + krelvon::g_scan.files_deleted + krelvon::g_scan.files_renamed, 0);
}
#endif

}  // namespace
