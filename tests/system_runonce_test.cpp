// RunOnce cleaning on Wine's registry: values of the real machine-wide
// RunOnce key, created by each test under names of its own and removed at
// its end, whatever it found.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handlers/signatures.h"
#include "system/runonce.h"
#include "tests/support.h"
#include "tests/system_support.h"

using krelvon::kRunOnceKey;
using krelvon::test::unique_name;

namespace {

// Values of the RunOnce key made by one test, deleted when it ends.
class RunOnceValues {
 public:
  ~RunOnceValues() {
    for (const std::string& name : names_) RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kRunOnceKey, name.c_str());
  }
  std::string add(const std::string& data, DWORD type = REG_SZ) {
    const std::string name = unique_name("krelvon-test-");
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      ADD_FAILURE() << "cannot open the RunOnce key";
      return name;
    }
    const DWORD size = static_cast<DWORD>(data.size() + (type == REG_SZ ? 1 : 0));
    if (RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()), size) != ERROR_SUCCESS)
      ADD_FAILURE() << "cannot write the value " << name;
    RegCloseKey(key);
    names_.push_back(name);
    return name;
  }

 private:
  std::vector<std::string> names_;
};

bool value_exists(const std::string& name) {
  return RegGetValueA(HKEY_LOCAL_MACHINE, kRunOnceKey, name.c_str(), RRF_RT_ANY, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

// The index of a value in the key's enumeration order, -1 when absent.
int index_of(const std::string& wanted) {
  char name[krelvon::kValueNameCapacity];
  for (DWORD i = 0; krelvon::registry_value_name(HKEY_LOCAL_MACHINE, kRunOnceKey, i, name); ++i)
    if (wanted == name) return static_cast<int>(i);
  return -1;
}

class RunOnceCleaning : public krelvon::test::ScanTest {};

TEST_F(RunOnceCleaning, MatchesTheFileNameOnlyWithoutRegardToCase) {
  RunOnceValues values;
  const std::string file = unique_name("abc") + ".exe";
  std::string upper = file;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string other = values.add("C:\\WINDOWS\\SYSTEM\\unrelated.exe");
  const std::string match = values.add("C:\\WINDOWS\\SYSTEM\\" + upper);
  EXPECT_EQ(krelvon::clean_runonce(("D:\\X\\" + file).c_str()), 1);
  EXPECT_FALSE(value_exists(match));
  EXPECT_TRUE(value_exists(other));
  EXPECT_EQ(window->lines, std::vector<std::string>{krelvon::kSystemRegistryLine});
  // The caller's text is not changed.
  const std::string path = "D:\\X\\" + upper;
  std::string copy = path;
  EXPECT_EQ(krelvon::clean_runonce(copy.c_str()), 0);
  EXPECT_EQ(copy, path);
}

TEST_F(RunOnceCleaning, TheNameMayStandInsideALongerOne) {
  RunOnceValues values;
  const std::string stem = unique_name("q");
  // File name q123.exe, data C:\dataq123.exe /start: a substring match.
  const std::string match = values.add("C:\\data" + stem + ".exe /start");
  EXPECT_EQ(krelvon::clean_runonce(("C:\\" + stem + ".exe").c_str()), 1);
  EXPECT_FALSE(value_exists(match));
}

TEST_F(RunOnceCleaning, OnlyTheLowerIndexOfTwoMatchesGoesPerCall) {
  RunOnceValues values;
  const std::string file = unique_name("twice") + ".exe";
  const std::string a = values.add("C:\\one\\" + file);
  const std::string b = values.add("C:\\two\\" + file);
  const int ia = index_of(a), ib = index_of(b);
  ASSERT_GE(ia, 0);
  ASSERT_GE(ib, 0);
  const std::string& lower = ia < ib ? a : b;
  const std::string& higher = ia < ib ? b : a;
  EXPECT_EQ(krelvon::clean_runonce(("C:\\" + file).c_str()), 1);
  EXPECT_FALSE(value_exists(lower));
  EXPECT_TRUE(value_exists(higher));
  EXPECT_EQ(krelvon::clean_runonce(("C:\\" + file).c_str()), 1);
  EXPECT_FALSE(value_exists(higher));
  EXPECT_EQ(krelvon::clean_runonce(("C:\\" + file).c_str()), 0);
  EXPECT_EQ(window->lines.size(), 2u);
}

TEST_F(RunOnceCleaning, WithoutAProgressWindowTheValueGoesWithoutALine) {
  RunOnceValues values;
  const std::string file = unique_name("quiet") + ".exe";
  const std::string match = values.add("C:\\" + file);
  krelvon::g_scan.progress_window = nullptr;
  EXPECT_EQ(krelvon::clean_runonce(("C:\\x\\" + file).c_str()), 1);
  EXPECT_FALSE(value_exists(match));
  EXPECT_TRUE(window->lines.empty());
}

TEST_F(RunOnceCleaning, NoBackslashOrNoMatchReturnsZero) {
  RunOnceValues values;
  const std::string file = unique_name("plain") + ".exe";
  const std::string match = values.add("C:\\" + file);
  EXPECT_EQ(krelvon::clean_runonce(file.c_str()), 0);  // no backslash
  EXPECT_TRUE(value_exists(match));
  EXPECT_EQ(krelvon::clean_runonce(("C:\\not" + file).c_str()), 0);
  EXPECT_TRUE(value_exists(match));
  EXPECT_TRUE(window->lines.empty());
}

TEST_F(RunOnceCleaning, DataBeyondTheBufferIsSkippedDataWithinIsComparedAsText) {
  RunOnceValues values;
  const std::string file = unique_name("long") + ".exe";
  // 300 bytes with the terminator: compared. 301: skipped, never read.
  const std::string fits = "C:\\" + std::string(299 - 3 - file.size(), 'x') + file;
  ASSERT_EQ(fits.size() + 1, 300u);
  const std::string too_long = "C:\\" + std::string(300 - 3 - file.size(), 'y') + file;
  const std::string skipped = values.add(too_long);
  const std::string kept_for_now = values.add(fits);
  EXPECT_EQ(krelvon::clean_runonce(("C:\\" + file).c_str()), 1);
  EXPECT_FALSE(value_exists(kept_for_now));
  EXPECT_TRUE(value_exists(skipped));
  EXPECT_EQ(krelvon::clean_runonce(("C:\\" + file).c_str()), 0);
  // Binary data without a terminator ends at its size; a terminator inside
  // ends the text there.
  const std::string binary = values.add("C:\\bin\\" + file, REG_BINARY);
  const std::string hidden = values.add(std::string("C:\\") + '\0' + file, REG_BINARY);
  EXPECT_EQ(krelvon::clean_runonce(("C:\\" + file).c_str()), 1);
  EXPECT_FALSE(value_exists(binary));
  EXPECT_TRUE(value_exists(hidden));
  EXPECT_EQ(krelvon::clean_runonce(("C:\\" + file).c_str()), 0);
}

// The key itself is taken away for this test and put back with its values.
TEST_F(RunOnceCleaning, AnAbsentOrEmptyKeyReturnsZero) {
  struct Saved {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::vector<Saved> saved;
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  DWORD subkeys = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr);
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD name_size = sizeof name, type = 0, size = 0;
    if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    Saved value{name, type, std::vector<BYTE>(size)};
    name_size = sizeof name;
    RegEnumValueA(key, i, name, &name_size, nullptr, &type, value.data.data(), &size);
    saved.push_back(value);
  }
  RegCloseKey(key);
  if (subkeys != 0) GTEST_SKIP() << "the RunOnce key has subkeys here; it is left alone";

  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRunOnceKey), ERROR_SUCCESS);
  const int absent = krelvon::clean_runonce("C:\\x\\a.exe");
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const int empty = krelvon::clean_runonce("C:\\x\\a.exe");
  for (const Saved& value : saved)
    RegSetValueExA(key, value.name.c_str(), 0, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
  RegCloseKey(key);
  EXPECT_EQ(absent, 0);
  EXPECT_EQ(empty, 0);
  EXPECT_TRUE(window->lines.empty());
}

}  // namespace
