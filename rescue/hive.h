// One registry hive file, opened through libhivex: the keys and values the
// offline cleaning reads and removes, and an inventory of the whole tree by
// which a written hive is checked against what was meant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// libhivex's handle types, without its header.
struct hive_h;

namespace krelvon::rescue {

using HiveNode = std::size_t;  // 0: none

// The largest value the rules read: a longer one is not read (and matches
// nothing).
inline constexpr std::size_t kLargestValueRead = 1 << 20;

struct HiveValue {
  std::string name;
  std::uint32_t type = 0;  // as the hive holds it: any number, not only the known types
  std::string data;        // the raw bytes
  bool unread = false;     // longer than the limit it was read with: data empty
};

// One key or one value of a hive, as the inventory lists it. Key paths run
// from the root key (not named) with '\' between names.
struct HiveEntry {
  std::string key;
  std::string value;  // for a value: its name
  bool is_value = false;
  std::uint64_t digest = 0;  // for a value: of its type and data
  bool operator<(const HiveEntry& o) const;
  bool operator==(const HiveEntry& o) const;
};

class Hive {
 public:
  Hive() = default;
  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  // False with error() set when the file is no hive libhivex can read.
  bool open(const std::string& path, bool writable);
  void close();
  const std::string& error() const { return error_; }

  HiveNode root() const;
  // The subkey of that name, compared without regard to case; 0 if none.
  HiveNode child(HiveNode node, const std::string& name) const;
  // A path of names below node separated by '\'; 0 if any is missing.
  HiveNode find(HiveNode node, const std::string& path) const;
  std::vector<HiveNode> children(HiveNode node) const;
  std::string name(HiveNode node) const;
  // Values longer than limit come unread (their length is asked first).
  std::vector<HiveValue> values(HiveNode node, std::size_t limit = kLargestValueRead) const;
  // The value of that name (without regard to case); false if none.
  bool value(HiveNode node, const std::string& name, HiveValue* out) const;

  // Changes in memory, written by commit().
  bool remove_key(HiveNode node);
  bool replace_values(HiveNode node, const std::vector<HiveValue>& values);
  bool commit(const std::string& path);

  // Every key and value of the tree, sorted (each value's data read
  // whatever its length); false when the tree cannot be read in full (a
  // list, name or data cell unreadable, a key met twice).
  bool inventory(std::vector<HiveEntry>* out) const;

 private:
  bool fail(const char* what);
  hive_h* h_ = nullptr;
  std::string error_;
  // A list or a name could not be read since the flag was last cleared.
  mutable bool read_error_ = false;
};

// A value of the key at key_path as the inventory lists it.
HiveEntry value_entry(const std::string& key_path, const HiveValue& v);

// Registry strings are UTF-16LE: as UTF-8, up to the first terminator;
// other data as its bytes up to the first zero byte.
std::string value_text(const HiveValue& v);
// A little-endian doubleword's value; false for other types or lengths.
bool value_dword(const HiveValue& v, std::uint32_t* out);

// ASCII letters folded to lower case; other bytes as they are.
std::string lower(std::string text);

}  // namespace krelvon::rescue
