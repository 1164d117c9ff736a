#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/walker.h"
#include "tests/support.h"

namespace fs = std::filesystem;
using krelvon::g_scan;
using krelvon::kSep;
using krelvon::test::native;

namespace {

std::vector<std::string> g_checked;

int recording_handler(const char*, const char* path, krelvon::Examination&) {
  g_checked.emplace_back(path);
  return 0;
}

int taking_handler(const char*, const char* path, krelvon::Examination&) {
  g_checked.emplace_back(std::string("first:") + path);
  return 1;
}

const krelvon::ThreatEntry kRecordingTable[] = {{"T", &recording_handler}, {nullptr, nullptr}};
const krelvon::ThreatEntry kTwoHandlers[] = {
    {"T", &taking_handler}, {"T", &recording_handler}, {nullptr, nullptr}};
const krelvon::ThreatEntry kEmptyTable[] = {{nullptr, nullptr}};

std::string folder_mask(const std::string& folder) { return folder + kSep + "*.*"; }

std::string base(const std::string& p) {
  const auto cut = p.find_last_of(kSep);
  return cut == std::string::npos ? p : p.substr(cut + 1);
}

class WalkerTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    g_checked.clear();
    krelvon::set_threat_table(kRecordingTable);
  }
  void TearDown() override {
    krelvon::set_threat_table(nullptr);
    ScanTest::TearDown();
  }
  krelvon::test::TempDir dir;
};

TEST_F(WalkerTest, FilesOfAFolderComeBeforeItsSubfolders) {
  dir.write("a/sub/deep.txt", "x");
  dir.write("a/one.txt", "1");
  dir.write("a/two.txt", "2");
  dir.write("b/three.txt", "3");
  const std::string root = dir.path();

  EXPECT_EQ(krelvon::walk(folder_mask(root).c_str()), 4);
  EXPECT_EQ(g_scan.files_scanned, 4);
  ASSERT_EQ(g_checked.size(), 4u);

  // Depth first: every file of a folder is checked before any file of one
  // of its subfolders.
  auto pos = [&](const std::string& rel) {
    return std::find(g_checked.begin(), g_checked.end(), dir / rel) - g_checked.begin();
  };
  EXPECT_LT(pos("a/one.txt"), pos("a/sub/deep.txt"));
  EXPECT_LT(pos("a/two.txt"), pos("a/sub/deep.txt"));
  const bool a_first = pos("a/one.txt") < pos("b/three.txt");
  if (a_first)
    EXPECT_LT(pos("a/sub/deep.txt"), pos("b/three.txt"));
  else
    EXPECT_GT(pos("a/one.txt"), pos("b/three.txt"));
}

TEST_F(WalkerTest, FoldersAreShownButNeitherCountedNorChecked) {
  dir.write("f.txt", "x");
  dir.mkdir("sub");
  krelvon::walk(folder_mask(dir.path()).c_str());
  EXPECT_EQ(g_scan.files_scanned, 1);
  EXPECT_EQ(g_checked, std::vector<std::string>{dir / "f.txt"});
  // The folder itself, "." and ".." are shown in the status line.
  const auto& shown = window->objects;
  EXPECT_NE(std::find(shown.begin(), shown.end(), dir / "sub"), shown.end());
  EXPECT_NE(std::find(shown.begin(), shown.end(), dir / "."), shown.end());
}

TEST_F(WalkerTest, EmptyThreatTableStillShowsAndCountsEveryFile) {
  krelvon::set_threat_table(kEmptyTable);
  dir.write("x/1.bin", "1");
  dir.write("x/2.bin", "2");
  dir.write("3.bin", "3");
  EXPECT_EQ(krelvon::walk(folder_mask(dir.path()).c_str()), 3);
  EXPECT_TRUE(g_checked.empty());
  for (const char* f : {"x/1.bin", "x/2.bin", "3.bin"}) {
    EXPECT_NE(std::find(window->objects.begin(), window->objects.end(), dir / f), window->objects.end()) << f;
  }
}

TEST_F(WalkerTest, AHandlerThatTakesTheFileStopsTheTable) {
  krelvon::set_threat_table(kTwoHandlers);
  dir.write("f.exe", "x");
  krelvon::walk(folder_mask(dir.path()).c_str());
  EXPECT_EQ(g_checked, std::vector<std::string>{"first:" + (dir / "f.exe")});
}

TEST_F(WalkerTest, FoldersWithDotsInTheirNames) {
  dir.write("my.folder.v2/inner.dir/file.name.exe", "x");
  dir.write("my.folder.v2/noext", "y");
  EXPECT_EQ(krelvon::walk(folder_mask(dir.path()).c_str()), 2);
  std::sort(g_checked.begin(), g_checked.end());
  EXPECT_EQ(g_checked, (std::vector<std::string>{dir / "my.folder.v2/inner.dir/file.name.exe",
                                                 dir / "my.folder.v2/noext"}));
}

TEST_F(WalkerTest, AMaskWithoutADotIsMalformed) {
  dir.write("f", "x");
  const std::string mask = dir.path() + kSep + "*";
  EXPECT_EQ(krelvon::walk(mask.c_str()), -1);
  EXPECT_TRUE(g_checked.empty());
}

TEST_F(WalkerTest, InTheMemoryPhaseTheMaskIsThePathAndNothingIsCounted) {
  const std::string file = dir.write("prog.exe", "x");
  g_scan.memory_phase = true;
  g_scan.found_in_memory = true;
  krelvon::walk(file.c_str());
  EXPECT_FALSE(g_scan.found_in_memory);  // cleared at every entry
  EXPECT_EQ(g_scan.files_scanned, 0);
  EXPECT_EQ(g_checked, std::vector<std::string>{file});
}

TEST_F(WalkerTest, ProgramFilesAnywhereInAPathSetsTheSeenFlag) {
  dir.write("backup/Program Files/app/x.exe", "x");
  krelvon::walk(folder_mask(dir.path()).c_str());
  EXPECT_EQ(g_scan.program_files_seen, 1);
  EXPECT_EQ(g_scan.program_files_pending, 0);  // not a drive-root mask
}

TEST_F(WalkerTest, ProgramFilesIsComparedCaseSensitively) {
  dir.write("PROGRAM FILES/x.exe", "x");
  krelvon::walk(folder_mask(dir.path()).c_str());
  EXPECT_EQ(g_scan.program_files_seen, 0);
}

// A drive-root mask ("Q:\*.*", six characters) on a drive with a Program
// Files folder prepares that folder's mask and sets the pending flag. Under
// Wine the test prefix maps Q: to a folder of its own; natively the mask is
// the same six characters relative to a folder named "q:".
class DriveRootTest : public WalkerTest {
 protected:
  void SetUp() override {
    WalkerTest::SetUp();
#ifdef _WIN32
    if (GetDriveTypeA("Q:\\") != DRIVE_FIXED) GTEST_SKIP() << "drive Q: is not mapped in this prefix";
    root_ = "Q:";
    fs::remove_all("Q:\\Program Files");
#else
    old_cwd_ = fs::current_path();
    fs::create_directories(dir / "q:");
    fs::current_path(dir.path());
    root_ = "q:";
#endif
  }
  void TearDown() override {
#ifdef _WIN32
    std::error_code ec;
    fs::remove_all("Q:\\Program Files", ec);
#else
    if (!old_cwd_.empty()) fs::current_path(old_cwd_);
#endif
    WalkerTest::TearDown();
  }
  std::string root_;
  fs::path old_cwd_;
};

TEST_F(DriveRootTest, PreparesTheProgramFilesMaskWhenTheFolderExists) {
  fs::create_directories(root_ + kSep + "Program Files");
  const std::string mask = root_ + kSep + "*.*";
  ASSERT_EQ(mask.size(), 6u);
  krelvon::walk(mask.c_str());
  EXPECT_EQ(g_scan.program_files_pending, 1);
  EXPECT_EQ(std::string(g_scan.program_files_mask), root_ + kSep + "Program Files" + kSep + "*.*");
  // The drive walk entered it as well.
  EXPECT_EQ(g_scan.program_files_seen, 1);
}

TEST_F(DriveRootTest, NoProgramFilesFolderLeavesThePendingFlag) {
  const std::string mask = root_ + kSep + "*.*";
  g_scan.program_files_pending = 0;
  krelvon::walk(mask.c_str());
  EXPECT_EQ(g_scan.program_files_pending, 0);
  EXPECT_EQ(std::string(g_scan.program_files_mask), root_ + kSep + "Program Files");
}

TEST_F(WalkerTest, AFolderMaskBelowTheRootPreparesNothing) {
  fs::create_directories(dir / "Program Files");
  krelvon::walk(folder_mask(dir.path()).c_str());
  EXPECT_EQ(g_scan.program_files_pending, 0);
  EXPECT_EQ(g_scan.program_files_mask[0], '\0');
}

TEST_F(WalkerTest, EscapeAnsweredNoContinuesTheScan) {
  dir.write("a.txt", "a");
  dir.write("b.txt", "b");
  krelvon::test::script_message_box_answers({IDNO});
  PostMessageA(window->hwnd(), WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_EQ(krelvon::walk(folder_mask(dir.path()).c_str()), 2);
  ASSERT_EQ(krelvon::test::asked_message_boxes().size(), 1u);
  const auto& box = krelvon::test::asked_message_boxes()[0];
  EXPECT_EQ(box.text, "Terminate the Scan now?");
  EXPECT_EQ(box.caption, "Warning");
  EXPECT_TRUE(box.owner_is_progress_window);
  EXPECT_EQ(g_scan.cancel, 0);
}

TEST_F(WalkerTest, EscapeAnsweredYesStopsAtTheNextCheck) {
  dir.write("a.txt", "a");
  dir.write("b.txt", "b");
  krelvon::test::script_message_box_answers({IDYES});
  PostMessageA(window->hwnd(), WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_EQ(krelvon::walk(folder_mask(dir.path()).c_str()), 0);
  EXPECT_EQ(g_scan.cancel, 1);
  EXPECT_TRUE(g_checked.empty());
}

TEST_F(WalkerTest, QuitMessageCancelsAndOtherMessagesAreDispatched) {
  dir.write("a.txt", "a");
  PostMessageA(window->hwnd(), WM_USER + 7, 0, 0);
  EXPECT_EQ(krelvon::walk(folder_mask(dir.path()).c_str()), 1);
  EXPECT_EQ(window->dispatched, std::vector<UINT>{WM_USER + 7});
  PostQuitMessage(0);
  EXPECT_EQ(krelvon::walk(folder_mask(dir.path()).c_str()), 0);
  EXPECT_EQ(g_scan.cancel, 1);
}

TEST_F(WalkerTest, CancelFlagStopsEveryLevel) {
  dir.write("a/b/c/d.txt", "x");
  g_scan.cancel = 1;
  EXPECT_EQ(krelvon::walk(folder_mask(dir.path()).c_str()), 0);
  EXPECT_TRUE(g_checked.empty());
}

TEST_F(WalkerTest, ANonexistentFolderWalksNothing) {
  EXPECT_EQ(krelvon::walk(folder_mask(dir / "missing").c_str()), 0);
  EXPECT_TRUE(g_checked.empty());
}

// Paths are held in 260 characters: an entry whose combined path would not
// fit is reported as skipped, never passed over in silence, and the rest of
// the walk goes on.
TEST_F(WalkerTest, PathsLongerThanTheLimitAreReportedAndSkipped) {
  const std::string segment(50, 'd');
  std::string rel;
  for (int i = 0; i < 6; ++i) rel += segment + "/";
  std::error_code ec;
  fs::create_directories(dir / rel, ec);
  if (ec) GTEST_SKIP() << "this file system refuses paths of " << (dir / rel).size() << " characters";
  {
    std::ofstream deep(dir / (rel + "deep.txt"));
    deep << "x";
    if (!deep) GTEST_SKIP() << "cannot create a file below a long path here";
  }
  // A folder whose mask fits, holding one file that fits and one that does
  // not.
  std::string edge = dir.path();
  std::string edge_rel;
  while (edge.size() < 250) {
    const std::string part(std::min<std::size_t>(100, 250 - edge.size() - 1), 'n');
    edge += kSep + part;
    edge_rel += part + "/";
  }
  ASSERT_EQ(edge.size(), 250u);
  fs::create_directories(edge, ec);
  ASSERT_FALSE(ec) << edge;
  dir.write(edge_rel + "x.exe", "x");                  // 256 characters
  dir.write(edge_rel + "a-name-too-long.exe", "x");    // 270
  dir.write("short.txt", "x");
  ASSERT_GT((dir / (rel + "deep.txt")).size(), 260u);

  EXPECT_EQ(krelvon::walk(folder_mask(dir.path()).c_str()), 2);
  for (const auto& p : g_checked) EXPECT_LT(p.size(), 260u) << p;
  EXPECT_NE(std::find(g_checked.begin(), g_checked.end(), dir / "short.txt"), g_checked.end());
  EXPECT_NE(std::find(g_checked.begin(), g_checked.end(), edge + kSep + "x.exe"), g_checked.end());
  EXPECT_EQ(std::find_if(g_checked.begin(), g_checked.end(),
                         [](const std::string& p) { return base(p) == "deep.txt"; }),
            g_checked.end());
  for (const auto& o : window->objects) EXPECT_LE(o.size(), 60u);

  // Reported: the long file by its whole path, and the folder whose mask
  // would not fit (nothing below it is reached).
  const auto& skipped = krelvon::test::skipped_entries();
  ASSERT_EQ(skipped.size(), 2u);
  EXPECT_EQ(g_scan.entries_skipped, 2);
  const auto file = std::find_if(skipped.begin(), skipped.end(),
                                 [&](const auto& e) { return e.path == edge + kSep + "a-name-too-long.exe"; });
  EXPECT_NE(file, skipped.end());
  const auto folder = std::find_if(skipped.begin(), skipped.end(), [&](const auto& e) { return e.path != file->path; });
  ASSERT_NE(folder, skipped.end());
  EXPECT_EQ((dir / rel).rfind(folder->path, 0), 0u) << folder->path;
  EXPECT_GE(folder->path.size() + 5, 260u) << "its mask would have fit: " << folder->path;
  for (const auto& e : skipped) EXPECT_EQ(e.reason, krelvon::kSkipTooLong) << e.path;
}

// The listing of a folder is taken whole before any file of it is handed
// on: a handler that renames every file it gets within the folder never
// meets a renamed file again.
TEST_F(WalkerTest, ARenamedFileIsNotMetAgainInTheSameWalk) {
  constexpr int kFiles = 2000;
  const std::string folder = dir.mkdir("many");
  for (int i = 0; i < kFiles; ++i) dir.write("many/w" + std::to_string(i) + ".exe", "x");
  static const krelvon::ThreatEntry renamer[] = {
      {"T", [](const char*, const char* path, krelvon::Examination&) {
         g_checked.emplace_back(path);
         std::error_code ec;
         fs::rename(path, std::string(path) + "V", ec);
         return 0;
       }},
      {nullptr, nullptr}};
  krelvon::set_threat_table(renamer);
  EXPECT_EQ(krelvon::walk(folder_mask(folder).c_str()), kFiles);
  EXPECT_EQ(g_checked.size(), static_cast<std::size_t>(kFiles));
  const auto renamed = std::count_if(g_checked.begin(), g_checked.end(),
                                     [](const std::string& p) { return p.back() == 'V'; });
  EXPECT_EQ(renamed, 0) << "renamed files met again";
  std::sort(g_checked.begin(), g_checked.end());
  EXPECT_EQ(std::unique(g_checked.begin(), g_checked.end()), g_checked.end()) << "a file met twice";
}

// The folder a walk is in is the folder it listed: once the walk is inside
// "sub", whatever is put at that path meanwhile is not what its files are
// read from. On Windows the folder cannot even be renamed while it is held;
// on POSIX its descriptor is held and the files are opened through it.
TEST_F(WalkerTest, FilesAreReadFromTheFolderThatWasListed) {
  for (const char* f : {"f1.exe", "f2.exe", "f3.exe", "f4.exe"}) {
    dir.write(std::string("scan/sub/") + f, "listed");
    dir.write(std::string("elsewhere/") + f, "elsewhere");
  }
  static std::string sub, moved, elsewhere;
  static std::vector<std::string> contents;
  static bool swapped;
  sub = dir / "scan/sub";
  moved = dir / "scan/sub.old";
  elsewhere = dir / "elsewhere";
  contents.clear();
  swapped = false;
  static const krelvon::ThreatEntry swapper[] = {
      {"T", [](const char*, const char* path, krelvon::Examination&) {
         g_checked.emplace_back(path);
         if (g_checked.size() == 1) {
           std::error_code ec;
           fs::rename(sub, moved, ec);
           swapped = !ec;
           if (swapped) {
#ifdef _WIN32
             fs::copy(elsewhere, sub, ec);  // Wine cannot make a link; a copy in its place
#else
             fs::create_directory_symlink(elsewhere, sub, ec);
#endif
           }
         }
         const int fd = _open(path, _O_BINARY | _O_RDONLY);
         char buffer[16] = {};
         const int got = fd >= 0 ? _read(fd, buffer, sizeof buffer - 1) : -1;
         if (fd >= 0) _close(fd);
         contents.emplace_back(got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "unreadable");
         return 0;
       }},
      {nullptr, nullptr}};
  krelvon::set_threat_table(swapper);
  EXPECT_EQ(krelvon::walk(folder_mask(dir / "scan").c_str()), 4);
  EXPECT_EQ(contents, std::vector<std::string>(4, "listed"));
#ifdef _WIN32
  EXPECT_FALSE(swapped) << "a held folder was renamed";
#else
  EXPECT_TRUE(swapped);
#endif
  EXPECT_TRUE(krelvon::test::skipped_entries().empty());
}

TEST(DisplayShortening, SixtyOneCharactersBecomeHeadDotsTail) {
  const std::string s61 = std::string(29, 'a') + "XYZ" + std::string(29, 'b');
  ASSERT_EQ(s61.size(), 61u);
  char out[100];
  krelvon::shorten_for_display(s61.c_str(), out, 60);
  EXPECT_EQ(std::string(out), std::string(29, 'a') + ".." + std::string(29, 'b'));
  const std::string s60(60, 'c');
  krelvon::shorten_for_display(s60.c_str(), out, 60);
  EXPECT_EQ(std::string(out), s60);
}

TEST(DisplayShortening, SmallLimitsAndLongSources) {
  char out[100];
  krelvon::shorten_for_display("abcdefgh", out, 6);  // h = 2
  EXPECT_EQ(std::string(out), "ab..gh");
  krelvon::shorten_for_display("abcdefgh", out, 3);  // h = 0: unchanged
  EXPECT_EQ(std::string(out), "abcdefgh");
  const std::string huge(250, 'z');
  krelvon::shorten_for_display(huge.c_str(), out, 60);
  EXPECT_EQ(std::strlen(out), 60u);
}

}  // namespace

namespace {

// Which reparse points the walker enters and examines: the tags of the
// Windows headers, and the attributes of data that is not on the disk.
TEST(EntryReach, OnlyNameSurrogatesAndUntoldTagsAreLinksAndDataElsewhereIsNeverRead) {
  using krelvon::EntryReach;
  using krelvon::entry_reach;
  constexpr DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT, kFile = FILE_ATTRIBUTE_ARCHIVE,
                  kFolder = FILE_ATTRIBUTE_DIRECTORY;
  constexpr DWORD kSymlink = 0xA000000C, kMountPoint = 0xA0000003, kDedup = 0x80000013, kWof = 0x80000017,
                  kCloud = 0x9000001A, kHsm = 0xC0000004;
  // Name surrogates, files or folders: links. A reparse point whose tag is
  // not told (Wine's view of a POSIX link, the POSIX layer's) is one too.
  for (DWORD tag : {kSymlink, kMountPoint, DWORD{0}}) {
    EXPECT_EQ(entry_reach(kReparse | kFile, tag), EntryReach::kLink) << std::hex << tag;
    EXPECT_EQ(entry_reach(kReparse | kFolder, tag), EntryReach::kLink) << std::hex << tag;
  }
  // A surrogate that is also offline stays a link: never followed.
  EXPECT_EQ(entry_reach(kReparse | kFile | 0x00400000, kSymlink), EntryReach::kLink);
  // Files merely stored through a reparse point, with their data here.
  for (DWORD tag : {kDedup, kWof, kCloud, kHsm}) {
    EXPECT_EQ(entry_reach(kReparse | kFile, tag), EntryReach::kExamine) << std::hex << tag;
    EXPECT_EQ(entry_reach(kReparse | kFolder, tag), EntryReach::kExamine) << std::hex << tag;
  }
  // Data to be fetched first: a cloud placeholder (recall on data access),
  // a folder recalled when opened, an offline file; with or without a tag.
  EXPECT_EQ(entry_reach(kReparse | kFile | 0x00400000, kCloud), EntryReach::kNotLocal);
  EXPECT_EQ(entry_reach(kReparse | kFolder | 0x00040000, kCloud), EntryReach::kNotLocal);
  EXPECT_EQ(entry_reach(kFile | 0x00001000, 0), EntryReach::kNotLocal);
  EXPECT_EQ(entry_reach(kReparse | kFile | 0x00001000, kHsm), EntryReach::kNotLocal);
  // Plain entries, and attributes the rule does not look at.
  EXPECT_EQ(entry_reach(kFile, 0), EntryReach::kExamine);
  EXPECT_EQ(entry_reach(kFolder | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, 0), EntryReach::kExamine);
  EXPECT_EQ(entry_reach(kFile, kSymlink), EntryReach::kExamine);  // a tag without the attribute means nothing
  EXPECT_EQ(krelvon::skip_reason_of_errno(ENODATA), std::string(krelvon::kSkipNotLocal));
}

}  // namespace
