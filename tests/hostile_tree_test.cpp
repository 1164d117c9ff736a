// Folders and names that others wrote, on a real POSIX file system: links,
// loops, odd bytes, pipes and folders the scanner may not read. The walk
// must neither leave its scope, nor block, nor crash, and must go on with
// the rest of the tree.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "engine/walker.h"
#include "handlers/infected_file.h"
#include "handlers/worm_file.h"
#include "platform/posix/beneath.h"
#include "tests/support.h"
#include "tools/pe_builder.h"

namespace fs = std::filesystem;
using krelvon::g_scan;

namespace {

std::vector<std::string> g_checked;

int recording_handler(const char*, const char* path, krelvon::Examination&) {
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
  static const std::vector<krelvon::test::SkippedEntry>& skipped() { return krelvon::test::skipped_entries(); }
  static std::vector<krelvon::test::SkippedEntry> by_path(std::vector<krelvon::test::SkippedEntry> entries) {
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return entries;
  }
  krelvon::test::TempDir dir;
  std::string scope;
};

TEST_F(HostileTreeTest, LinksToFoldersAreNeverEntered) {
  dir.write("outside/secret.exe", "x");
  dir.write("scope/inside.exe", "x");
  fs::create_directory_symlink(dir / "outside", scope + "/to-outside");
  fs::create_directory_symlink(scope, scope + "/loop");  // a cycle
  EXPECT_EQ(walk_scope(), 3);  // inside.exe and the two links, counted as file entries
  // The links are neither entered nor handed to the handlers, and passed
  // over without a report: what they lead to is walked under its own path.
  EXPECT_EQ(g_checked, std::vector<std::string>{scope + "/inside.exe"});
  EXPECT_TRUE(skipped().empty());
}

// A folder listed as a folder and turned into a link before the walk enters
// it: not entered, and reported.
TEST_F(HostileTreeTest, AFolderSwappedForALinkAfterTheListingIsNotEntered) {
  dir.write("outside/secret.exe", "x");
  dir.write("scope/first.exe", "x");
  dir.write("scope/sub/inner.exe", "x");
  static std::string sub, outside;
  sub = scope + "/sub";
  outside = dir / "outside";
  static const krelvon::ThreatEntry swapper[] = {
      {"T", [](const char*, const char* path, krelvon::Examination&) {
         g_checked.emplace_back(path);
         fs::rename(sub, sub + ".old");
         fs::create_directory_symlink(outside, sub);
         return 0;
       }},
      {nullptr, nullptr}};
  krelvon::set_threat_table(swapper);
  EXPECT_EQ(walk_scope(), 1);
  EXPECT_EQ(g_checked, std::vector<std::string>{scope + "/first.exe"});
  EXPECT_EQ(skipped(), (std::vector<krelvon::test::SkippedEntry>{{sub, krelvon::kSkipLink}}));
}

// Below a held root no call of the layer goes through a link, whether the
// kernel resolves the path (openat2) or the layer does it one folder at a
// time; outside a held root the same paths reach what the links lead to.
TEST_F(HostileTreeTest, NothingBelowTheRootIsReachedThroughALink) {
  const std::string victim = dir.write("outside/victim.exe", "MZ original");
  dir.write("scope/real/deeper/own.exe", "MZ own");
  fs::create_directory_symlink(dir / "outside", scope + "/lnk");
  fs::create_directory_symlink(dir / "outside", scope + "/real/lnk2");
  ::chmod(victim.c_str(), 0444);
  const std::string own = scope + "/real/deeper/own.exe";
  for (const bool openat2 : {true, false}) {
    SCOPED_TRACE(openat2 ? "openat2" : "one folder at a time");
    krelvon_posix_use_openat2(openat2);
    KrelvonHeldFolder root;
    ASSERT_EQ(krelvon_hold_folder(scope.c_str(), nullptr, &root), static_cast<DWORD>(ERROR_SUCCESS));
    for (const std::string& through : {scope + "/lnk/victim.exe", scope + "/real/lnk2/victim.exe"}) {
      SCOPED_TRACE(through);
      const char* p = through.c_str();
      errno = 0;
      EXPECT_LT(_open(p, _O_BINARY | _O_RDONLY), 0);
      EXPECT_EQ(errno, ELOOP);
      EXPECT_LT(_open(p, _O_BINARY | _O_RDWR), 0);
      EXPECT_EQ(GetFileAttributesA(p), INVALID_FILE_ATTRIBUTES);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
      EXPECT_FALSE(SetFileAttributesA(p, FILE_ATTRIBUTE_ARCHIVE));
      EXPECT_NE(_chmod(p, _S_IREAD | _S_IWRITE), 0);
      EXPECT_FALSE(MoveFileA(p, (through + ".moved").c_str()));
      EXPECT_FALSE(DeleteFileA(p));
      EXPECT_NE(_unlink(p), 0);
      EXPECT_NE(_access(p, 0), 0);
      KrelvonFileIdentity id;
      EXPECT_FALSE(krelvon_path_identity(p, &id));
      WIN32_FIND_DATAA entry;
      const std::string mask = through.substr(0, through.rfind('/')) + "/*.*";
      EXPECT_EQ(FindFirstFileA(mask.c_str(), &entry), INVALID_HANDLE_VALUE);
      EXPECT_EQ(FindFirstFileA(p, &entry), INVALID_HANDLE_VALUE);
    }
    // A real folder below the root that was never held is reached.
    const int fd = _open(own.c_str(), _O_BINARY | _O_RDONLY);
    EXPECT_GE(fd, 0);
    if (fd >= 0) _close(fd);
    EXPECT_NE(GetFileAttributesA(own.c_str()), INVALID_FILE_ATTRIBUTES);
    krelvon_release_folder(&root);
  }
  krelvon_posix_use_openat2(true);
  const auto bytes = krelvon::samples::read_file(victim);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "MZ original");
  EXPECT_EQ(fs::status(victim).permissions() & fs::perms::all, fs::perms(0444));
  // Without a held root the path is the user's own: followed.
  EXPECT_NE(GetFileAttributesA((scope + "/lnk/victim.exe").c_str()), INVALID_FILE_ATTRIBUTES);
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

// Mounts below the root (another file system, or a folder of the same one
// bound there) are not entered, and reported; the kernel's resolution
// refuses paths into them as well. Mounting needs the superuser.
TEST_F(HostileTreeTest, MountsBelowTheRootAreNotEntered) {
  const std::string other = dir.mkdir("scope/other");
  const std::string bound = dir.mkdir("scope/bound");
  dir.write("elsewhere/in-bound.exe", "x");
  dir.write("scope/plain.exe", "x");
  if (::mount("tmpfs", other.c_str(), "tmpfs", 0, nullptr) != 0)
    GTEST_SKIP() << "cannot mount here: " << std::strerror(errno);
  struct Unmount {
    std::vector<std::string> points;
    ~Unmount() {
      for (const auto& p : points) ::umount2(p.c_str(), MNT_DETACH);
    }
  } unmount{{other}};
  dir.write("scope/other/in-tmpfs.exe", "x");
  const bool bind = ::mount((dir / "elsewhere").c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) == 0;
  if (bind) unmount.points.push_back(bound);

  walk_scope();
  EXPECT_EQ(g_checked, std::vector<std::string>{scope + "/plain.exe"});
  std::vector<krelvon::test::SkippedEntry> expected = {{other, krelvon::kSkipOtherFileSystem}};
  if (bind) expected.push_back({bound, krelvon::kSkipOtherFileSystem});
  EXPECT_EQ(by_path(skipped()), by_path(expected));

  KrelvonHeldFolder root;
  ASSERT_EQ(krelvon_hold_folder(scope.c_str(), nullptr, &root), static_cast<DWORD>(ERROR_SUCCESS));
  for (const bool openat2 : {true, false}) {
    krelvon_posix_use_openat2(openat2);
    errno = 0;
    EXPECT_LT(_open((other + "/in-tmpfs.exe").c_str(), _O_BINARY | _O_RDONLY), 0);
    EXPECT_EQ(errno, EXDEV) << (openat2 ? "openat2" : "one folder at a time");
  }
  krelvon_posix_use_openat2(true);
  if (bind) {
    // Within one file system only the kernel's resolution sees the mount.
    errno = 0;
    EXPECT_LT(_open((bound + "/in-bound.exe").c_str(), _O_BINARY | _O_RDONLY), 0);
    EXPECT_EQ(errno, EXDEV);
  }
  krelvon_release_folder(&root);
}

TEST_F(HostileTreeTest, OddNamesAreWalkedExactly) {
  const std::vector<std::string> names = {"with space.exe", "new\nline.exe", "tab\tname",
                                          std::string("latin1-\xe9\xff.exe"), "back\\slash.exe",
                                          ".hidden", "...", "trailing.", "-dash"};
  for (const auto& n : names) dir.write("scope/" + n, "x");
  EXPECT_EQ(walk_scope(), static_cast<int>(names.size()));
  for (const auto& n : names) EXPECT_TRUE(checked(scope + "/" + n)) << n;
}

// Only regular files are opened: FIFOs, sockets and devices are counted as
// file entries, reported and never handed on; one put in place of a listed
// file is refused by the opening and reported once.
TEST_F(HostileTreeTest, PipesSocketsAndDevicesAreReportedAndNeverOpened) {
  const std::string fifo = scope + "/p.exe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string socket_path = scope + "/s.exe";
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  const bool bound = sock >= 0 && socket_path.size() < sizeof address.sun_path &&
                     ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const std::string device = scope + "/d.exe";
  const bool made_device = ::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;  // as /dev/null
  dir.write("scope/after.exe", "x");
  std::vector<krelvon::test::SkippedEntry> expected = {{fifo, krelvon::kSkipNotRegular}};
  if (bound) expected.push_back({socket_path, krelvon::kSkipNotRegular});
  if (made_device) expected.push_back({device, krelvon::kSkipNotRegular});

  EXPECT_EQ(walk_scope(), static_cast<int>(expected.size()) + 1);
  EXPECT_EQ(g_checked, std::vector<std::string>{scope + "/after.exe"});
  EXPECT_EQ(by_path(skipped()), by_path(expected));
  if (sock >= 0) ::close(sock);

  // A FIFO put at a listed file's path: both handlers try the opening, which
  // refuses it without waiting; one report.
  krelvon::test::skipped_entries().clear();
  ::unlink(fifo.c_str());
  ::unlink(socket_path.c_str());
  ::unlink(device.c_str());
  dir.write("scope/later.exe", "x");
  static std::string later;
  later = scope + "/later.exe";
  static const krelvon::ThreatEntry fifo_maker[] = {
      {"T", [](const char*, const char* path, krelvon::Examination&) {
         if (path != later) {
           ::unlink(later.c_str());
           ::mkfifo(later.c_str(), 0644);
         }
         return 0;
       }},
      {"W32/BugBear.B.Worm", &krelvon::handle_worm_file},
      {"W32/BugBear.B.Worm", &krelvon::handle_infected_file},
      {nullptr, nullptr}};
  krelvon::set_threat_table(fifo_maker);
  walk_scope();
  EXPECT_EQ(skipped(), (std::vector<krelvon::test::SkippedEntry>{{later, krelvon::kSkipNotRegular}}));
}

TEST_F(HostileTreeTest, EmptyAndTinyFiles) {
  dir.write("scope/zero.exe", "");
  dir.write("scope/one", "M");
  EXPECT_EQ(walk_scope(), 2);
}

// The scanner runs as root here; the unreadable cases need an ordinary user,
// so they run in a child process that gives up root first. The real threat
// table runs: what it cannot open is reported, the rest examined.
TEST_F(HostileTreeTest, UnreadableFoldersAndFilesAreReportedAndTheWalkGoesOn) {
  dir.write("scope/a-before.exe", "x");
  dir.write("scope/locked/hidden.exe", "x");
  dir.write("scope/listable-only/inside.exe", "x");
  dir.write("scope/z-after/visible.exe", "x");
  dir.write("scope/unreadable.exe", "x");
  ::chmod((scope + "/unreadable.exe").c_str(), 0);
  ::chmod((scope + "/locked").c_str(), 0);
  ::chmod((scope + "/listable-only").c_str(), 0444);  // names, but no way in
  // The ordinary user must reach the scope: every folder above it gets
  // search and read rights for all, keeping the rights it has (/tmp stays
  // writable by all and sticky).
  for (fs::path p = scope; p.string().size() > 1; p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) ::chmod(p.c_str(), (st.st_mode & 07777) | 0755);
  }

  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    krelvon::set_threat_table(nullptr);
    const int n = walk_scope();
    std::string report = std::to_string(n) + " " + std::to_string(g_scan.entries_skipped) + "\n";
    for (const auto& e : skipped()) report += e.path + ": " + e.reason + "\n";
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
  ::chmod((scope + "/listable-only").c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
  // Scanned: a-before, unreadable, visible and the one name in
  // listable-only; skipped: the three that could not be opened or entered.
  EXPECT_EQ(report.substr(0, report.find('\n')), "4 3") << report;
  EXPECT_NE(report.find(scope + "/unreadable.exe: permission denied\n"), std::string::npos) << report;
  EXPECT_NE(report.find(scope + "/locked: permission denied\n"), std::string::npos) << report;
  EXPECT_NE(report.find(scope + "/listable-only/inside.exe: permission denied\n"), std::string::npos) << report;
  EXPECT_EQ(report.find("a-before"), std::string::npos) << report;
  EXPECT_EQ(report.find("visible"), std::string::npos) << report;
}

// Files removed between the listing and their turn: reported once each,
// though both handlers try to open them.
TEST_F(HostileTreeTest, FilesGoneSinceTheListingAreReported) {
  for (const char* f : {"a.exe", "b.exe", "c.exe"}) dir.write(std::string("scope/") + f, "MZ");
  static const krelvon::ThreatEntry remover[] = {
      {"T", [](const char*, const char* path, krelvon::Examination&) {
         if (g_checked.empty())
           for (const char* f : {"a.exe", "b.exe", "c.exe"})
             if (std::string(path).find(f) == std::string::npos)
               ::unlink((std::string(path).substr(0, std::string(path).rfind('/') + 1) + f).c_str());
         g_checked.emplace_back(path);
         return 0;
       }},
      {"W32/BugBear.B.Worm", &krelvon::handle_worm_file},
      {"W32/BugBear.B.Worm", &krelvon::handle_infected_file},
      {nullptr, nullptr}};
  krelvon::set_threat_table(remover);
  EXPECT_EQ(walk_scope(), 3);
  ASSERT_EQ(skipped().size(), 2u);
  for (const auto& e : skipped()) {
    EXPECT_NE(e.path, g_checked.front());
    EXPECT_EQ(e.reason, krelvon::kSkipGone);
  }
}

TEST_F(HostileTreeTest, FolderGoneBetweenListingAndEntry) {
  dir.write("scope/sub/f.exe", "x");
  // A handler that removes the folder the walk is about to enter.
  static std::string doomed;
  doomed = scope + "/sub";
  static const krelvon::ThreatEntry remover[] = {
      {"T", [](const char*, const char* path, krelvon::Examination&) {
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
  EXPECT_EQ(skipped(), (std::vector<krelvon::test::SkippedEntry>{{doomed, krelvon::kSkipGone}}));
}

}  // namespace

#endif  // !_WIN32
