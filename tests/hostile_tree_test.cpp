// Folders and names that others wrote, on a real POSIX file system: links,
// loops, odd bytes, pipes and folders the scanner may not read. The walk
// must neither leave its scope, nor block, nor crash, and must go on with
// the rest of the tree.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "engine/walker.h"
#include "tests/support.h"
#include "tools/pe_builder.h"

namespace fs = std::filesystem;
using krelvon::g_scan;

namespace {

std::vector<std::string> g_checked;

int recording_handler(const char*, const char* path) {
  g_checked.emplace_back(path);
  return 0;
}

const krelvon::ThreatEntry kRecordingTable[] = {{"T", &recording_handler}, {nullptr, nullptr}};

class HostileTreeTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    g_checked.clear();
    krelvon::set_threat_table(kRecordingTable);
    scope = dir.mkdir("scope");
  }
  void TearDown() override {
    krelvon::set_threat_table(nullptr);
    ScanTest::TearDown();
  }
  int walk_scope() { return krelvon::walk((scope + "/*.*").c_str()); }
  bool checked(const std::string& p) const {
    return std::find(g_checked.begin(), g_checked.end(), p) != g_checked.end();
  }
  krelvon::test::TempDir dir;
  std::string scope;
};

TEST_F(HostileTreeTest, LinksToFoldersAreNeverEntered) {
  dir.write("outside/secret.exe", "x");
  dir.write("scope/inside.exe", "x");
  fs::create_directory_symlink(dir / "outside", scope + "/to-outside");
  fs::create_directory_symlink(scope, scope + "/loop");  // a cycle
  EXPECT_EQ(walk_scope(), 3);  // inside.exe and the two links, as files
  EXPECT_TRUE(checked(scope + "/inside.exe"));
  for (const auto& p : g_checked) EXPECT_EQ(p.find("secret"), std::string::npos) << p;
  EXPECT_FALSE(checked(scope + "/loop/inside.exe"));
}

TEST_F(HostileTreeTest, NothingIsOpenedOrChangedThroughALink) {
  const std::string target = dir.write("outside/victim.exe", "MZ original");
  const std::string link = scope + "/link.exe";
  fs::create_symlink(target, link);
  EXPECT_LT(_open(link.c_str(), _O_BINARY | _O_RDONLY), 0);
  EXPECT_LT(_open(link.c_str(), _O_BINARY | _O_RDWR), 0);
  EXPECT_FALSE(SetFileAttributesA(link.c_str(), FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_NE(_chmod(link.c_str(), _S_IREAD | _S_IWRITE), 0);
  const DWORD a = GetFileAttributesA(link.c_str());
  EXPECT_NE(a & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(a & FILE_ATTRIBUTE_DIRECTORY, 0u);
  // Removing or renaming the link leaves the file it points to alone.
  EXPECT_TRUE(MoveFileA(link.c_str(), (scope + "/link.Vxe").c_str()));
  EXPECT_TRUE(DeleteFileA((scope + "/link.Vxe").c_str()));
  const auto bytes = krelvon::samples::read_file(target);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "MZ original");
}

TEST_F(HostileTreeTest, OddNamesAreWalkedExactly) {
  const std::vector<std::string> names = {"with space.exe", "new\nline.exe", "tab\tname",
                                          std::string("latin1-\xe9\xff.exe"), "back\\slash.exe",
                                          ".hidden", "...", "trailing.", "-dash"};
  for (const auto& n : names) dir.write("scope/" + n, "x");
  EXPECT_EQ(walk_scope(), static_cast<int>(names.size()));
  for (const auto& n : names) EXPECT_TRUE(checked(scope + "/" + n)) << n;
}

TEST_F(HostileTreeTest, PipesAndSocketsNeverBlockTheScan) {
  const std::string fifo = scope + "/pipe.exe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  dir.write("scope/after.exe", "x");
  walk_scope();
  EXPECT_TRUE(checked(fifo));  // listed and passed on, as an object of the folder
  const int fd = _open(fifo.c_str(), _O_BINARY | _O_RDONLY);  // would block without a writer
  EXPECT_LT(fd, 0);
  EXPECT_TRUE(checked(scope + "/after.exe"));
}

TEST_F(HostileTreeTest, EmptyAndTinyFiles) {
  dir.write("scope/zero.exe", "");
  dir.write("scope/one", "M");
  EXPECT_EQ(walk_scope(), 2);
}

// The scanner runs as root here; the unreadable-folder case needs an
// ordinary user, so it runs in a child process that gives up root first.
TEST_F(HostileTreeTest, UnreadableFoldersAndFilesAreLeftAndTheWalkGoesOn) {
  dir.write("scope/a-before.exe", "x");
  dir.write("scope/locked/hidden.exe", "x");
  dir.write("scope/z-after/visible.exe", "x");
  dir.write("scope/unreadable.exe", "x");
  ::chmod((scope + "/unreadable.exe").c_str(), 0);
  ::chmod((scope + "/locked").c_str(), 0);
  for (fs::path p = scope; p.string().size() > 1; p = p.parent_path()) ::chmod(p.c_str(), 0755);

  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    g_checked.clear();
    const int n = walk_scope();
    std::string report = std::to_string(n) + "\n";
    for (const auto& p : g_checked) report += p + "\n";
    for (const auto& p : g_checked) {
      const int fd = _open(p.c_str(), _O_BINARY | _O_RDONLY);
      report += (fd >= 0 ? "open " : "refused ") + p + "\n";
      if (fd >= 0) _close(fd);
    }
    if (::write(out[1], report.data(), report.size()) < 0) ::_exit(4);
    ::_exit(0);
  }
  ::close(out[1]);
  std::string report;
  char buf[4096];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::chmod((scope + "/locked").c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
  EXPECT_EQ(report.substr(0, 2), "3\n");  // before, unreadable and visible; nothing in locked
  EXPECT_NE(report.find("open " + scope + "/a-before.exe"), std::string::npos);
  EXPECT_NE(report.find("refused " + scope + "/unreadable.exe"), std::string::npos);
  EXPECT_NE(report.find(scope + "/z-after/visible.exe"), std::string::npos);
  EXPECT_EQ(report.find("hidden.exe"), std::string::npos);
}

TEST_F(HostileTreeTest, FolderGoneBetweenListingAndEntry) {
  dir.write("scope/sub/f.exe", "x");
  // A handler that removes the folder the walk is about to enter.
  static std::string doomed;
  doomed = scope + "/sub";
  static const krelvon::ThreatEntry remover[] = {
      {"T", [](const char*, const char* path) {
         g_checked.emplace_back(path);
         std::error_code ec;
         fs::remove_all(doomed, ec);
         return 0;
       }},
      {nullptr, nullptr}};
  dir.write("scope/first.exe", "x");
  krelvon::set_threat_table(remover);
  walk_scope();
  EXPECT_TRUE(checked(scope + "/first.exe"));
  EXPECT_FALSE(checked(scope + "/sub/f.exe"));
}

}  // namespace

#endif  // !_WIN32
