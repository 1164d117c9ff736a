// The offline registry cleaning's parts on hives of the sample factory: the
// rules of what is removed, the checks before a hive is written, and the
// commit that replaces a hive only with what was meant.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <filesystem>

#include "rescue/hive.h"
#include "rescue/hive_commit.h"
#include "rescue/hive_files.h"
#include "rescue/hive_guard.h"
#include "rescue/hive_isolation.h"
#include "rescue/offline_registry.h"
#include "tests/support.h"
#include "tools/hive_builder.h"
#include "tools/offline_install.h"

namespace fs = std::filesystem;
using krelvon::samples::Bytes;
using krelvon::samples::HiveWriter;
using krelvon::samples::put32;
using krelvon::samples::read_file;
using krelvon::samples::write_file;
namespace rescue = krelvon::rescue;

namespace {

TEST(ImagePath, NamesTheWormFileInEveryFormTheSystemReads) {
  const std::string worm = "\\Windows\\System32\\wormsvc.exe";
  for (const char* names : {"%SystemRoot%\\System32\\wormsvc.exe", "%windir%\\system32\\WORMSVC.EXE",
                            "C:\\Windows\\System32\\wormsvc.exe -k run", "\"D:\\WINDOWS\\system32\\wormsvc.exe\" /x",
                            "\\??\\C:\\Windows\\System32\\wormsvc.exe", "\\SystemRoot\\System32\\wormsvc.exe",
                            "System32\\wormsvc.exe", "  C:/Windows//System32/wormsvc.exe  "})
    EXPECT_TRUE(rescue::image_path_names(names, "Windows", worm)) << names;
  for (const char* other : {"%SystemRoot%\\System32\\wormsvc.exe.bak", "C:\\Windows\\wormsvc.exe",
                            "C:\\WINNT\\System32\\wormsvc.exe", "\"C:\\Windows\\System32\\wormsvc\".exe",
                            "C:\\Program Files\\Windows\\System32\\wormsvc.exe", "wormsvc.exe", ""})
    EXPECT_FALSE(rescue::image_path_names(other, "Windows", worm)) << other;
  EXPECT_TRUE(rescue::image_path_names("C:\\Program Files\\Tool Box\\helper.exe -s", "Windows",
                                       "\\Program Files\\Tool Box\\helper.exe"));
  // A megabyte of words (every prefix up to a space a candidate) is looked
  // at only as far as a prefix could still name the file: the answer comes
  // at once, not after minutes.
  std::string words = "System32\\wormsvc.exe";
  while (words.size() < (1U << 20)) words += " a";
  EXPECT_TRUE(rescue::image_path_names(words, "Windows", worm));
  EXPECT_FALSE(rescue::image_path_names("System32\\" + words, "Windows", worm));
  std::string separators;
  while (separators.size() < (1U << 20)) separators += "\\ /\\ ";
  EXPECT_FALSE(rescue::image_path_names(separators, "Windows", worm));
}

class RescueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install = krelvon::samples::write_offline_installation(dir / "disk");
    ASSERT_TRUE(install.ok);
    ASSERT_TRUE(rescue::find_installation(dir / "disk", &found));
  }
  krelvon::test::TempDir dir;
  krelvon::samples::OfflineInstallation install;
  rescue::Installation found;
};

TEST_F(RescueTest, RemovesWhatTheWormFilesLeftAndOnlyThat) {
  const std::string services3 = "ControlSet003\\Services\\";
  HiveWriter system(install.system);
  system.dword("Select", "Current", 3)
      .text(services3 + "wormsvc", "ImagePath", "system32\\wormsvc.exe")
      .dword(services3 + "wormsvc\\Enum\\Root", "Count", 1)  // Enum has a subkey: it stays, and the key
      .dword(services3 + "wormsvc\\Security", "Count", 1)
      .dword("ControlSet002\\Services\\wormsvc\\Parameters", "Count", 1);  // another subkey: the key stays
  ASSERT_TRUE(system.commit());
  HiveWriter software(install.software);
  const std::string runonce = "Microsoft\\Windows\\CurrentVersion\\RunOnce";
  software.text(runonce, "again", "rundll32 c:\\temp\\wormsvc.exe,Start")
      .text(runonce, "ignored", "C:\\Program Files\\Editor\\editor.exe");  // a file not removed by the scan
  ASSERT_TRUE(software.commit());

  // A worm file outside the installation counts for nothing in it (its
  // folder's name as long as the root's, "disk").
  const std::string outside = dir.write("else/editor.exe", "x");
  const auto result = rescue::clean_registry(found, {install.worm_file, outside}, nullptr);
  EXPECT_TRUE(result.refused.empty());
  std::vector<std::string> removed;
  for (const auto& r : result.removed)
    removed.push_back(r.hive.substr(r.hive.rfind('/') + 1) + ": " + r.key + " / " + r.value + r.subkey);
  EXPECT_EQ(removed, (std::vector<std::string>{
                         "SOFTWARE: Microsoft\\Windows\\CurrentVersion\\RunOnce / wormsvc",
                         "SOFTWARE: Microsoft\\Windows\\CurrentVersion\\RunOnce / again",
                         "SYSTEM: ControlSet001\\Services\\wormsvc / Enum",
                         "SYSTEM: ControlSet001\\Services\\wormsvc / Security",
                         "SYSTEM: ControlSet001\\Services / wormsvc",
                         "SYSTEM: ControlSet002\\Services\\wormsvc / Enum",
                         "SYSTEM: ControlSet002\\Services\\wormsvc / Security",
                         "SYSTEM: ControlSet003\\Services\\wormsvc / Security",
                     }));
  rescue::Hive hive;
  ASSERT_TRUE(hive.open(install.system, false));
  EXPECT_NE(hive.find(hive.root(), "ControlSet002\\Services\\wormsvc\\Parameters"), 0u);
  EXPECT_NE(hive.find(hive.root(), "ControlSet003\\Services\\wormsvc\\Enum\\Root"), 0u);
  ASSERT_TRUE(hive.open(install.software, false));
  std::vector<std::string> left;
  for (const auto& v : hive.values(hive.find(hive.root(), runonce))) left.push_back(v.name);
  EXPECT_EQ(left, (std::vector<std::string>{"Setup", "Cleanup", "ignored"}));
}

// The config folder as the cleaning holds it.
struct HeldFolder {
  explicit HeldFolder(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    struct stat st {};
    ::fstat(fd.get(), &st);
    folder = rescue::Folder{fd.get(), st.st_dev, path};
  }
  rescue::Fd fd;
  rescue::Folder folder;
};

TEST_F(RescueTest, LogsAndHibernationFilesStandInTheWayOnlyWhenTheyHoldAState) {
  const std::string config = dir / "disk/Windows/System32/config";
  HeldFolder held(config);
  rescue::BaseBlock base;
  rescue::Fd software(::open(install.software.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(rescue::base_block_refusal(software.get(), &base), "");
  const Bytes hive = read_file(install.software);
  const std::string log = install.software + ".LOG2";
  const auto log_says = [&](const Bytes& bytes) {
    fs::remove(log);
    write_file(log, bytes);
    return rescue::log_refusal(held.folder, "SOFTWARE", base);
  };
  EXPECT_EQ(log_says({}), "");
  EXPECT_EQ(log_says(Bytes(8192)), "");
  EXPECT_EQ(log_says(krelvon::samples::make_hive_log(hive, base.secondary_sequence - 1)), "");
  EXPECT_NE(log_says(krelvon::samples::make_hive_log(hive, base.secondary_sequence)), "");
  EXPECT_NE(log_says(Bytes{'x'}), "");
  Bytes zeros_then_data(8192);
  zeros_then_data[5000] = 1;
  EXPECT_NE(log_says(zeros_then_data), "");
  Bytes old_format = hive;  // old format: its own base block numbered past the hive
  old_format.resize(1024);
  put32(old_format, 28, 1);
  krelvon::samples::set_hive_sequence(old_format, base.primary_sequence + 1, base.secondary_sequence + 1);
  EXPECT_NE(log_says(old_format), "");
  krelvon::samples::set_hive_sequence(old_format, base.primary_sequence, base.secondary_sequence);
  EXPECT_EQ(log_says(old_format), "");

  // A 2 GB log (sparse): only its base block and entries' headers are
  // read, whatever its size; its second entry, 1 GB in, is newer.
  const auto huge_log = [&](std::uint32_t second_sequence) {
    Bytes start = krelvon::samples::make_hive_log(hive, base.secondary_sequence - 1);
    put32(start, 512 + 4, (1U << 30) - 512);  // the first entry runs up to 1 GB
    write_file(log, start);
    Bytes second = krelvon::samples::make_hive_log(hive, second_sequence);
    std::FILE* f = std::fopen(log.c_str(), "r+b");
    std::fseek(f, 1L << 30, SEEK_SET);
    std::fwrite(second.data() + 512, 1, 512, f);
    std::fclose(f);
    fs::resize_file(log, 2ULL << 30);
    return rescue::log_refusal(held.folder, "SOFTWARE", base);
  };
  EXPECT_NE(huge_log(base.secondary_sequence).find("holds log entry"), std::string::npos);
  EXPECT_EQ(huge_log(base.secondary_sequence - 1), "");
  // A log that is a FIFO or a link is not read, and stands in the way.
  fs::remove(log);
  ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
  {
    // Looked at, never opened: a writer waiting on the FIFO is not woken.
    const int notes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(notes, 0);
    ASSERT_GE(inotify_add_watch(notes, log.c_str(), IN_OPEN), 0);
    EXPECT_NE(rescue::log_refusal(held.folder, "SOFTWARE", base).find("is not a regular file (a FIFO)"),
              std::string::npos);
    alignas(inotify_event) char events[512];
    EXPECT_LE(read(notes, events, sizeof events), 0) << "the FIFO was opened";
    close(notes);
  }
  fs::remove(log);
  fs::create_symlink(dir / "else", log);
  EXPECT_NE(rescue::log_refusal(held.folder, "SOFTWARE", base).find("is a link"), std::string::npos);
  fs::remove(log);

  // The hibernation file is looked for in the root and above it.
  const std::string root = dir / "disk/Windows";
  rescue::Fd root_fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::string hiberfil = dir / "disk/hiberfil.sys";
  const auto hibernation_says = [&](const std::string& signature) {
    Bytes header(signature.begin(), signature.end());
    header.resize(signature.size() < 4 ? signature.size() : 4096);
    fs::remove(hiberfil);
    write_file(hiberfil, header);
    return rescue::hibernation_refusal(root_fd.get(), root);
  };
  for (const char* hibernated : {"hibr", "HIBR", "RSTR", "HORM", "hi"}) EXPECT_NE(hibernation_says(hibernated), "");
  for (const std::string& not_hibernated :
       {std::string("wake"), std::string("WAKE"), std::string(4, '\0'), std::string()})
    EXPECT_EQ(hibernation_says(not_hibernated), "") << not_hibernated;
  // A FIFO is never opened to wait on it.
  fs::remove(hiberfil);
  ASSERT_EQ(mkfifo(hiberfil.c_str(), 0600), 0);
  EXPECT_NE(rescue::hibernation_refusal(root_fd.get(), root).find("a FIFO"), std::string::npos);
}

// A hive file replaced by another (at its name) right before the commit.
std::string g_hive_path;
Bytes g_replacement;
bool replace_hive(const char*) {
  write_file(g_hive_path + ".other", g_replacement);
  fs::rename(g_hive_path + ".other", g_hive_path);
  return true;
}

TEST_F(RescueTest, CommitReplacesTheHiveOnlyWhileItIsTheFileRead) {
  const std::string config = dir / "disk/Windows/System32/config";
  HeldFolder held(config);
  const Bytes original = read_file(install.system);
  // What the reader would send: the hive with one key less.
  const std::string edited = dir / "edited";
  fs::copy_file(install.system, edited);
  {
    HiveWriter w(edited);
    w.key("ControlSet001\\Services\\Added");
    ASSERT_TRUE(w.commit());
  }
  const Bytes bytes_read = read_file(edited);
  const std::string bytes(bytes_read.begin(), bytes_read.end());
  const auto commit = [&](const std::string& written, rescue::BeforeHiveChange callback, std::string* error) {
    rescue::Fd hive(::open(install.system.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    ::fstat(hive.get(), &st);
    return rescue::commit_hive(held.folder, "SYSTEM", hive.get(), st, written, callback, error);
  };
  const auto nothing_written = [&](const Bytes& now) {
    EXPECT_EQ(read_file(install.system), now);
    EXPECT_FALSE(fs::exists(install.system + rescue::kNewHiveSuffix));
    EXPECT_FALSE(fs::exists(install.system + rescue::kOriginalHiveSuffix));
  };
  std::string error;
  // A stale new file of an earlier run, even a link to elsewhere, goes; a
  // written file that is no hive is not put in place.
  fs::create_symlink(dir / "elsewhere", install.system + rescue::kNewHiveSuffix);
  EXPECT_FALSE(commit(std::string(4096, 'x'), nullptr, &error));
  EXPECT_NE(error.find("the written hive the file is not a registry hive"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
  nothing_written(original);
  EXPECT_FALSE(commit(bytes, [](const char*) { return false; }, &error));
  nothing_written(original);

  // Replaced between the read and the rename: the replacement stays, and
  // nothing is written.
  g_hive_path = install.system;
  g_replacement = original;
  g_replacement.push_back(0);
  EXPECT_FALSE(commit(bytes, replace_hive, &error));
  EXPECT_NE(error.find("the hive changed since it was read"), std::string::npos) << error;
  nothing_written(g_replacement);

  write_file(install.system, original);
  ASSERT_TRUE(commit(bytes, nullptr, &error)) << error;
  EXPECT_EQ(read_file(install.system), bytes_read);
  EXPECT_EQ(read_file(install.system + rescue::kOriginalHiveSuffix), original);
  EXPECT_FALSE(fs::exists(install.system + rescue::kNewHiveSuffix));
}

}  // namespace

namespace {

// The isolated reader's child: it may compute and answer, nothing else; any
// end but a normal one, and any time over, is a failure with its reason.
TEST(Isolation, TheChildMayComputeAndAnswerAndNothingElse) {
  krelvon::test::TempDir dir;
  const std::string hive = dir.write("hive", "regf and more");
  rescue::Fd fd(::open(hive.c_str(), O_RDONLY | O_CLOEXEC));
  rescue::IsolationLimits limits;
  limits.seconds = 2;
  limits.output = 1 << 20;
  const auto run = [&](const std::function<std::string(int)>& work, const volatile std::sig_atomic_t* cancel = nullptr) {
    return rescue::run_isolated(fd.get(), limits, work, cancel);
  };
  const std::string outside = dir / "outside";
  const auto answer = run([&](int written) {
    std::string out;
    // Its own two files, by their names.
    const int in = ::open(rescue::kIsolatedHive, O_RDONLY);
    char b[4] = {};
    out += in >= 0 && ::read(in, b, 4) == 4 ? std::string(b, 4) : "no hive";
    const int w = ::open(rescue::kIsolatedWritten, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    out += w >= 0 && ::write(w, "new", 3) == 3 && ::pread(written, b, 3, 0) == 3 ? "," + std::string(b, 3) : ",no file";
    // Nothing else: no other file, no process, no signal to another.
    const auto denied = [&](bool failed) { out += failed ? ",denied" : ",allowed"; };
    denied(::open("/etc/passwd", O_RDONLY) < 0 && errno == EACCES);
    denied(::open(outside.c_str(), O_WRONLY | O_CREAT, 0600) < 0);
    denied(::fork() < 0);
    denied(::kill(::getppid(), 0) < 0);
    denied(::unlink(hive.c_str()) < 0);
    rlimit limit{};
    denied(::prlimit(::getppid(), RLIMIT_NOFILE, nullptr, &limit) < 0);
    return out;
  });
  EXPECT_TRUE(answer.finished) << answer.failure;
  EXPECT_EQ(answer.result, "regf,new,denied,denied,denied,denied,denied,denied");
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_TRUE(fs::exists(hive));

  const auto aborted = run([](int) -> std::string { std::abort(); });
  EXPECT_FALSE(aborted.finished);
  EXPECT_EQ(aborted.failure, "the reader was killed by signal 6");
  const auto endless = run([](int) {
    for (volatile unsigned i = 0;; i = i + 1) {
    }
    return std::string();
  });
  EXPECT_EQ(endless.failure, "the reader did not finish within 2 seconds");
  const volatile std::sig_atomic_t interrupted = 1;
  const auto cancelled = run(
      [](int) {
        for (volatile unsigned i = 0;; i = i + 1) {
        }
        return std::string();
      },
      &interrupted);
  EXPECT_EQ(cancelled.failure, "the run was interrupted");
  const auto too_much = run([](int) { return std::string(2 << 20, 'x'); });
  EXPECT_EQ(too_much.failure, "the reader's result is larger than the hive may grow");
}

}  // namespace
