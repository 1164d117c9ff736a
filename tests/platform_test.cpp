// Contract tests of the platform calls the engine relies on. The same tests
// run against the real Win32 API under Wine and against our own POSIX layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif
#include <set>
#include <string>
#include <vector>

#include "handlers/examination.h"
#include "platform/files/restart.h"
#include "platform/platform.h"
#include "tests/support.h"
#include "tools/pe_builder.h"

using krelvon::kSep;

namespace {

std::set<std::string> list(const std::string& mask) {
  std::set<std::string> names;
  WIN32_FIND_DATAA e;
  HANDLE h = FindFirstFileA(mask.c_str(), &e);
  if (h == INVALID_HANDLE_VALUE) return names;
  do names.insert(e.cFileName);
  while (FindNextFileA(h, &e));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  FindClose(h);
  return names;
}

TEST(Platform, ListingGivesDotEntriesFilesAndFolders) {
  krelvon::test::TempDir dir;
  dir.write("a.txt", "1");
  dir.write("noext", "2");
  dir.mkdir("sub.d");
  EXPECT_EQ(list(dir.path() + kSep + "*.*"), (std::set<std::string>{".", "..", "a.txt", "noext", "sub.d"}));
  EXPECT_EQ(list(dir.path() + kSep + "*"), (std::set<std::string>{".", "..", "a.txt", "noext", "sub.d"}));
}

TEST(Platform, ListingOneFileByItsPath) {
  krelvon::test::TempDir dir;
  const std::string f = dir.write("prog.exe", "MZ");
  EXPECT_EQ(list(f), std::set<std::string>{"prog.exe"});
  EXPECT_TRUE(list(dir / "missing.exe").empty());
}

TEST(Platform, FolderAttributeMarksFolders) {
  krelvon::test::TempDir dir;
  dir.write("f", "1");
  dir.mkdir("d");
  WIN32_FIND_DATAA e;
  HANDLE h = FindFirstFileA((dir.path() + kSep + "*").c_str(), &e);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int files = 0, folders = 0;
  do {
    const std::string n = e.cFileName;
    const bool is_dir = (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (n == "f") {
      EXPECT_FALSE(is_dir);
      ++files;
    }
    if (n == "d" || n == "." || n == "..") {
      EXPECT_TRUE(is_dir) << n;
      ++folders;
    }
  } while (FindNextFileA(h, &e));
  FindClose(h);
  EXPECT_EQ(files, 1);
  EXPECT_EQ(folders, 3);
}

TEST(Platform, ReadOnlyAttributeRoundTrip) {
  krelvon::test::TempDir dir;
  const std::string f = dir.write("ro.txt", "x");
  const DWORD plain = GetFileAttributesA(f.c_str());
  ASSERT_NE(plain, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(plain & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_TRUE(SetFileAttributesA(f.c_str(), plain | FILE_ATTRIBUTE_READONLY));
  EXPECT_NE(GetFileAttributesA(f.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  // A read-only file cannot be deleted. (Whether it can be opened for
  // writing differs: Wine running as root allows it, Windows does not; the
  // handlers always clear the attribute before they write.)
  EXPECT_FALSE(DeleteFileA(f.c_str()));
  ASSERT_TRUE(SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesA(f.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_TRUE(DeleteFileA(f.c_str()));
  EXPECT_EQ(GetFileAttributesA(f.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Platform, MoveRefusesAnExistingTarget) {
  krelvon::test::TempDir dir;
  const std::string a = dir.write("a.exe", "a");
  const std::string b = dir.write("a.Vxe", "b");
  EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
  ASSERT_TRUE(DeleteFileA(b.c_str()));
  EXPECT_TRUE(MoveFileA(a.c_str(), b.c_str()));
  EXPECT_EQ(_access(a.c_str(), 0), -1);
  EXPECT_EQ(_access(b.c_str(), 0), 0);
}

TEST(Platform, DescriptorCalls) {
  krelvon::test::TempDir dir;
  const std::string f = dir.write("d.bin", "0123456789");
  const int fd = _open(f.c_str(), _O_BINARY | _O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(_filelength(fd), 10);
  EXPECT_EQ(_lseek(fd, 4, SEEK_SET), 4);
  char buf[8] = {};
  EXPECT_EQ(_read(fd, buf, 8), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(_lseek(fd, 2, SEEK_SET), 2);
  EXPECT_EQ(_write(fd, "ab", 2), 2);
  EXPECT_EQ(_chsize(fd, 5), 0);
  EXPECT_EQ(_filelength(fd), 5);
  EXPECT_EQ(_lseek(fd, -1, SEEK_SET), -1);
  EXPECT_EQ(_close(fd), 0);
  const auto bytes = krelvon::samples::read_file(f);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "01ab4");
}

// Small reads at scattered offsets, across a 4 KiB boundary, after writes
// and a truncation, past the end and relative to the position: what a
// header read and a disinfection do to one descriptor.
TEST(Platform, DescriptorReadsSeeEveryWriteAndTheEnd) {
  krelvon::test::TempDir dir;
  std::string content(10000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  const std::string f = dir.write("big.bin", content);
  const int fd = _open(f.c_str(), _O_BINARY | _O_RDWR);
  ASSERT_GE(fd, 0);
  const auto read_at = [&](long at, unsigned n) {
    std::string got(n, '?');
    if (_lseek(fd, at, SEEK_SET) != at) return std::string("seek failed");
    const int r = _read(fd, &got[0], n);
    return r < 0 ? std::string("read failed") : got.substr(0, static_cast<std::size_t>(r));
  };
  EXPECT_EQ(read_at(60, 2), content.substr(60, 2));
  EXPECT_EQ(read_at(4090, 12), content.substr(4090, 12));
  EXPECT_EQ(read_at(9990, 20), content.substr(9990)) << "a short read at the end";
  EXPECT_EQ(read_at(10000, 4), "");
  EXPECT_EQ(read_at(20000, 4), "") << "past the end";
  // The position moves with each read.
  EXPECT_EQ(read_at(100, 4), content.substr(100, 4));
  char four[4];
  EXPECT_EQ(_read(fd, four, 4), 4);
  EXPECT_EQ(std::string(four, 4), content.substr(104, 4));
  EXPECT_EQ(_lseek(fd, 0, SEEK_CUR), 108);
  EXPECT_EQ(_lseek(fd, -200, SEEK_CUR), -1);
  EXPECT_EQ(_lseek(fd, -10, SEEK_END), 9990);
  // A write is seen by the next read of the same block.
  ASSERT_EQ(_lseek(fd, 61, SEEK_SET), 61);
  ASSERT_EQ(_write(fd, "XY", 2), 2);
  EXPECT_EQ(_lseek(fd, 0, SEEK_CUR), 63);
  EXPECT_EQ(read_at(60, 4), content.substr(60, 1) + "XY" + content.substr(63, 1));
  // A truncation is seen by the length and by reads.
  ASSERT_EQ(_chsize(fd, 4095), 0);
  EXPECT_EQ(_filelength(fd), 4095);
  EXPECT_EQ(read_at(4090, 12), content.substr(4090, 5));
  // A write past the end grows the file.
  ASSERT_EQ(_lseek(fd, 5000, SEEK_SET), 5000);
  ASSERT_EQ(_write(fd, "Z", 1), 1);
  EXPECT_EQ(_filelength(fd), 5001);
  EXPECT_EQ(read_at(5000, 4), "Z");
  EXPECT_EQ(_close(fd), 0);
  const auto bytes = krelvon::samples::read_file(f);
  ASSERT_EQ(bytes.size(), 5001u);
  EXPECT_EQ(bytes[61], 'X');
  EXPECT_EQ(bytes[4999], 0) << "the gap reads as zeros";
}

#ifdef _WIN32
TEST(Platform, FolderCannotBeOpenedAsAFile) {
  krelvon::test::TempDir dir;
  const std::string d = dir.mkdir("sub");
  const int fd = _open(d.c_str(), _O_BINARY | _O_RDONLY);
  EXPECT_LT(fd, 0);
  if (fd >= 0) _close(fd);
}
#else
// Opening for reading costs the open alone; what is no regular file is
// refused by its first read, without taking anything of it, and has no
// identity. Writing takes regular files only.
TEST(Platform, OnlyRegularFilesAreReadOrWritten) {
  krelvon::test::TempDir dir;
  const std::string d = dir.mkdir("sub");
  EXPECT_LT(_open(d.c_str(), _O_BINARY | _O_RDWR), 0);
  const std::string fifo = dir.path() + "/pipe.exe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_LT(_open(fifo.c_str(), _O_BINARY | _O_RDWR), 0);
  for (const std::string& p : {d, fifo}) {
    const int fd = _open(p.c_str(), _O_BINARY | _O_RDONLY);
    ASSERT_GE(fd, 0) << p;
    char byte;
    errno = 0;
    EXPECT_EQ(_read(fd, &byte, 1), -1) << p;
    EXPECT_TRUE(errno == ENXIO || errno == EISDIR) << p << ": " << errno;
    std::uint64_t device = 0, inode = 0;
    std::int64_t length = 0;
    EXPECT_FALSE(krelvon_opened_file(fd, &device, &inode)) << p;
    EXPECT_FALSE(krelvon_opened_length(fd, &length)) << p;
    _close(fd);
  }
}

namespace {
int g_uncached_reads = 0;
}  // namespace

// A read of what the page cache holds returns the file's bytes; once the
// pages are dropped it returns EAGAIN at once, and the examination's first
// page tells its listener so (one first page in four is read that way)
// before it reads the page anyway: every first page holds the file's bytes.
TEST(Platform, UncachedFirstPagesAreToldBeforeTheyWait) {
  krelvon::test::TempDir dir;
  std::vector<std::string> files;
  for (int i = 0; i < 8; ++i) files.push_back(dir.write("f" + std::to_string(i), std::string(100, 'a' + i)));
  {
    const int fd = _open(files[0].c_str(), _O_BINARY | _O_RDONLY);
    char bytes[200];
    const int got = krelvon_read_cached(fd, bytes, sizeof bytes, 0);
    const bool can_tell = got >= 0 || errno != EOPNOTSUPP;
    if (got >= 0) {
      EXPECT_EQ(got, 100) << "pages just written are in the cache";
      EXPECT_EQ(bytes[99], 'a');
      EXPECT_EQ(krelvon_read_cached(fd, bytes, 10, 95), 5) << "a short read at the end";
      EXPECT_EQ(_read(fd, bytes, 1), 1) << "the position stays at 0";
      EXPECT_EQ(bytes[0], 'a');
    }
    _close(fd);
    if (!can_tell) GTEST_SKIP() << "the file system of " << dir.path() << " cannot tell cached pages";
  }
  krelvon::set_first_page_miss_listener([] { ++g_uncached_reads; });
  int reads = 0;
  const auto read_all = [&] {
    reads = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
      krelvon::Examination file(files[i].c_str(), false);
      const int fd = file.open();
      ASSERT_GE(fd, 0);
      const std::uint8_t* page = nullptr;
      EXPECT_EQ(file.first_page(&page), 100);
      EXPECT_EQ(page[99], 'a' + i);
      reads += file.reads();
      file.give_back(fd);
    }
  };
  g_uncached_reads = 0;
  read_all();
  EXPECT_EQ(g_uncached_reads, 0) << "pages just written are in the cache";
  EXPECT_EQ(reads, 8) << "a page in the cache is read once";

  // The kernel may keep a page a first request leaves (one still on another
  // processor's list of new pages, or under writeback): ask again until
  // mincore says no page of the eight is in memory.
  const auto resident = [](const std::string& f) {
    const int fd = ::open(f.c_str(), O_RDONLY);
    if (fd < 0) return true;
    void* map = ::mmap(nullptr, 100, PROT_READ, MAP_SHARED, fd, 0);
    unsigned char in = 1;
    const bool ok = map != MAP_FAILED && ::mincore(map, 100, &in) == 0;
    if (map != MAP_FAILED) ::munmap(map, 100);
    ::close(fd);
    return !ok || (in & 1) != 0;
  };
  bool evicted = false;
  for (int attempt = 0; attempt < 50 && !evicted; ++attempt) {
    ::sync();
    evicted = true;
    for (const std::string& f : files) {
      const int fd = ::open(f.c_str(), O_RDONLY);
      evicted = evicted && fd >= 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
      if (fd >= 0) ::close(fd);
    }
    for (const std::string& f : files) evicted = evicted && !resident(f);
    if (!evicted) ::usleep(20000);
  }
  if (!evicted) {
    krelvon::set_first_page_miss_listener(nullptr);
    GTEST_SKIP() << "the page cache of " << dir.path() << " cannot be emptied";
  }
  {
    const int fd = _open(files[1].c_str(), _O_BINARY | _O_RDONLY);
    char byte;
    const int got = krelvon_read_cached(fd, &byte, 1, 0);
    if (got < 0) {
      EXPECT_EQ(errno, EAGAIN);
    }
    _close(fd);
  }
  read_all();
  krelvon::set_first_page_miss_listener(nullptr);
  // One first page in four of eight is tried without waiting: two tries.
  // A try may still find its page (the kernel can bring a page back between
  // the eviction and the try), so at least one is told missing, and each
  // page told missing is read once more.
  EXPECT_GE(g_uncached_reads, 1) << "a first page the disk must serve is told before the read waits";
  EXPECT_LE(g_uncached_reads, 2) << "only one first page in four is tried without waiting";
  EXPECT_EQ(reads, 8 + g_uncached_reads) << "a first page told missing is read once more";
}
#endif

TEST(Platform, ChmodAndUnlinkRemoveAReadOnlyFile) {
  krelvon::test::TempDir dir;
  const std::string f = dir.write("r.exe", "x");
  ASSERT_TRUE(SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(_chmod(f.c_str(), _S_IREAD | _S_IWRITE), 0);
  EXPECT_EQ(_unlink(f.c_str()), 0);
  EXPECT_EQ(_access(f.c_str(), 0), -1);
}

TEST(Platform, CaseHelpers) {
  char s[] = "MiXeD.Exe";
  EXPECT_STREQ(_strlwr(s), "mixed.exe");
  EXPECT_STREQ(_strupr(s), "MIXED.EXE");
  EXPECT_EQ(_stricmp("Wormy", "WORMY"), 0);
  EXPECT_EQ(_strnicmp("wormy2", "WORMY", 5), 0);
  EXPECT_NE(_strnicmp("worm", "WORMY", 5), 0);
}

TEST(Platform, SendMessageReachesTheWindowAtOnce) {
  krelvon::test::RecordingWindow w;
  krelvon::g_scan.progress_window = w.hwnd();
  krelvon::copy_text(krelvon::g_scan.line, "hello");
  SendMessageA(w.hwnd(), WM_SETREDRAW, 0, 0);
  EXPECT_EQ(w.lines, std::vector<std::string>{"hello"});
  // No window: nothing happens, nothing breaks.
  EXPECT_EQ(SendMessageA(nullptr, WM_SETREDRAW, 0, 0), 0);
  krelvon::g_scan.progress_window = nullptr;
}

}  // namespace

// --- the pending operations of the next start ----------------------------------

// WININIT.INI's text: the new line joins the first [rename] section after
// its last entry, every other byte stays, an operation already there is
// not added again, and a file without the section gets one at its end.
TEST(RestartOperations, WininitKeepsEveryLineAndHasOneRenameSection) {
  namespace f = krelvon::files;
  bool already = true;
  EXPECT_EQ(f::wininit_with("", "NUL", "C:\\W.DLL", &already), "[rename]\r\nNUL=C:\\W.DLL\r\n");
  EXPECT_FALSE(already);
  // Other sections before and after, a blank line closing the section, a
  // comment, LF line ends and a last line without its end.
  const std::string text = "[Boot]\nx=1\n[Rename]\r\n;keep\r\nNUL=C:\\OTHER.TMP\r\n\r\n[rename]\nA=B\n[Later]\ny=2";
  const std::string added = f::wininit_with(text, "NUL", "C:\\DIR\\W.DLL", &already);
  EXPECT_FALSE(already);
  EXPECT_EQ(added,
            "[Boot]\nx=1\n[Rename]\r\n;keep\r\nNUL=C:\\OTHER.TMP\r\nNUL=C:\\DIR\\W.DLL\r\n\r\n[rename]\nA=B\n[Later]\ny=2");
  // Again, in other letter case: nothing added.
  EXPECT_EQ(f::wininit_with(added, "nul", "c:\\dir\\w.dll", &already), added);
  EXPECT_TRUE(already);
  // A rename in the section that ends the file, after a last line with no
  // end of its own.
  EXPECT_EQ(f::wininit_with("[rename]\nNUL=C:\\X", "C:\\W.VLL", "C:\\W.DLL", &already),
            "[rename]\nNUL=C:\\X\r\nC:\\W.VLL=C:\\W.DLL\r\n");
  const auto ops = f::wininit_operations_of(added);
  ASSERT_EQ(ops.size(), 3u);
  EXPECT_EQ(ops[0].source, "C:\\OTHER.TMP");
  EXPECT_EQ(ops[0].target, "");
  EXPECT_EQ(ops[2].source, "B");
  EXPECT_EQ(ops[2].target, "A");
}

TEST(RestartOperations, PendingValueAndShortNames) {
  namespace f = krelvon::files;
  const char value[] = "\\??\\C:\\A.DLL\0\0\\??\\C:\\B.DLL\0!\\??\\C:\\B.VLL\0";
  const auto ops = f::pending_operations_of(value, sizeof value);
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0].source, "C:\\A.DLL");
  EXPECT_EQ(ops[0].target, "");
  EXPECT_EQ(ops[1].source, "C:\\B.DLL");
  EXPECT_EQ(ops[1].target, "C:\\B.VLL");
  EXPECT_TRUE(f::pending_operations_of(nullptr, 0).empty());
  for (const char* name : {"WORM.DLL", "LONG~ZAT", "A", "12345678.ABC", "X.Y"}) EXPECT_TRUE(f::is_short_name(name)) << name;
  for (const char* name : {"", "123456789.A", "A.ABCD", "A.B.C", "A B.DLL", ".DLL", "A+B.EXE"})
    EXPECT_FALSE(f::is_short_name(name)) << name;
}
