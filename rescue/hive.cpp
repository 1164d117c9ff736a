#include "rescue/hive.h"

#include <hivex.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <tuple>

#include "platform/platform.h"

namespace krelvon::rescue {

namespace {

constexpr std::uint32_t kRegSz = 1, kRegExpandSz = 2, kRegDword = 4, kRegMultiSz = 7;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

// FNV-1a, 64 bits.
std::uint64_t digest_of(std::uint32_t type, const std::string& data) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  auto mix = [&h](unsigned char c) {
    h ^= c;
    h *= 0x100000001b3ULL;
  };
  for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(type >> (8 * i)));
  for (char c : data) mix(static_cast<unsigned char>(c));
  return h;
}

}  // namespace

bool HiveEntry::operator<(const HiveEntry& o) const {
  return std::tie(key, is_value, value, digest) < std::tie(o.key, o.is_value, o.value, o.digest);
}
bool HiveEntry::operator==(const HiveEntry& o) const {
  return key == o.key && is_value == o.is_value && value == o.value && digest == o.digest;
}

HiveEntry value_entry(const std::string& key_path, const HiveValue& v) {
  return HiveEntry{key_path, v.name, true, digest_of(v.type, v.data)};
}

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string value_text(const HiveValue& v) {
  if (v.type != kRegSz && v.type != kRegExpandSz && v.type != kRegMultiSz) return std::string(v.data.c_str());
  // The characters up to the terminator; a lone surrogate becomes '?'.
  const auto* b = reinterpret_cast<const unsigned char*>(v.data.data());
  std::vector<WCHAR> wide;
  for (std::size_t i = 0; i + 1 < v.data.size(); i += 2) {
    const auto c = static_cast<WCHAR>(b[i] | (b[i + 1] << 8));
    if (c == 0) break;
    wide.push_back(c);
  }
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const bool high = wide[i] >= 0xD800 && wide[i] < 0xDC00, low = wide[i] >= 0xDC00 && wide[i] < 0xE000;
    const bool paired = high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000;
    if (paired)
      ++i;
    else if (high || low)
      wide[i] = u'?';
  }
  if (wide.empty()) return "";
  // The POSIX layer converts to UTF-8 whatever the code page.
  const int n = static_cast<int>(wide.size());
  std::string out(
      static_cast<std::size_t>(WideCharToMultiByte(CP_ACP, 0, wide.data(), n, nullptr, 0, nullptr, nullptr)), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), n, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
  return out;
}

bool value_dword(const HiveValue& v, std::uint32_t* out) {
  if (v.type != kRegDword || v.data.size() != 4) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(v.data.data());
  *out = b[0] | (static_cast<std::uint32_t>(b[1]) << 8) | (static_cast<std::uint32_t>(b[2]) << 16) |
         (static_cast<std::uint32_t>(b[3]) << 24);
  return true;
}

Hive::~Hive() { close(); }

bool Hive::fail(const char* what) {
  error_ = std::string(what) + ": " + std::strerror(errno);
  return false;
}

bool Hive::open(const std::string& path, bool writable) {
  close();
  h_ = hivex_open(path.c_str(), writable ? HIVEX_OPEN_WRITE : 0);
  if (!h_) return fail("not a readable hive");
  return true;
}

void Hive::close() {
  if (h_) hivex_close(h_);
  h_ = nullptr;
}

HiveNode Hive::root() const { return h_ ? hivex_root(h_) : 0; }

std::vector<HiveNode> Hive::children(HiveNode node) const {
  std::vector<HiveNode> out;
  Owned<hive_node_h> list(hivex_node_children(h_, node));
  if (!list)
    read_error_ = true;
  else
    for (const hive_node_h* n = list.get(); *n; ++n) out.push_back(*n);
  return out;
}

std::string Hive::name(HiveNode node) const {
  Owned<char> n(hivex_node_name(h_, node));
  if (!n) read_error_ = true;
  return n ? std::string(n.get()) : std::string();
}

HiveNode Hive::child(HiveNode node, const std::string& wanted) const {
  const std::string key = lower(wanted);
  for (HiveNode c : children(node))
    if (lower(name(c)) == key) return c;
  return 0;
}

HiveNode Hive::find(HiveNode node, const std::string& path) const {
  std::size_t start = 0;
  while (node && start <= path.size()) {
    const std::size_t end = std::min(path.find('\\', start), path.size());
    if (end > start) node = child(node, path.substr(start, end - start));
    start = end + 1;
  }
  return node;
}

std::vector<HiveValue> Hive::values(HiveNode node, std::size_t limit) const {
  std::vector<HiveValue> out;
  Owned<hive_value_h> list(hivex_node_values(h_, node));
  if (!list) {
    read_error_ = true;
    return out;
  }
  for (const hive_value_h* v = list.get(); *v; ++v) {
    HiveValue value;
    Owned<char> key(hivex_value_key(h_, *v));
    if (key) value.name = key.get();
    // The type is any 32-bit number the hive holds: the library stores it
    // through its enum's pointer, and it is read here as the number.
    static_assert(sizeof(hive_type) == sizeof(std::uint32_t));
    std::size_t length = 0;
    if (!key || hivex_value_type(h_, *v, reinterpret_cast<hive_type*>(&value.type), &length) != 0) {
      read_error_ = true;
    } else if (length > limit) {
      value.unread = true;
    } else {
      Owned<char> data(hivex_value_value(h_, *v, reinterpret_cast<hive_type*>(&value.type), &length));
      if (data)
        value.data.assign(data.get(), length);
      else
        read_error_ = true;
    }
    out.push_back(std::move(value));
  }
  return out;
}

bool Hive::value(HiveNode node, const std::string& wanted, HiveValue* out) const {
  const std::string key = lower(wanted);
  for (HiveValue& v : values(node)) {
    if (lower(v.name) != key) continue;
    *out = std::move(v);
    return true;
  }
  return false;
}

bool Hive::remove_key(HiveNode node) { return hivex_node_delete_child(h_, node) == 0 || fail("removing a key"); }

bool Hive::replace_values(HiveNode node, const std::vector<HiveValue>& values) {
  std::vector<hive_set_value> set(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    set[i].key = const_cast<char*>(values[i].name.c_str());
    std::memcpy(&set[i].t, &values[i].type, sizeof set[i].t);  // any number, not only the enum's
    set[i].len = values[i].data.size();
    set[i].value = const_cast<char*>(values[i].data.data());
  }
  return hivex_node_set_values(h_, node, set.size(), set.data(), 0) == 0 || fail("writing the values of a key");
}

bool Hive::commit(const std::string& path) {
  return hivex_commit(h_, path.c_str(), 0) == 0 || fail("writing the hive");
}

bool Hive::inventory(std::vector<HiveEntry>* out) const {
  out->clear();
  read_error_ = false;
  std::set<HiveNode> seen;
  // Depth first with an explicit stack: a hive's depth is not ours to trust.
  std::vector<std::pair<HiveNode, std::string>> pending{{root(), std::string()}};
  while (!pending.empty()) {
    auto [node, path] = pending.back();
    pending.pop_back();
    if (!node || !seen.insert(node).second) return false;
    out->push_back(HiveEntry{path, std::string(), false, 0});
    for (const HiveValue& v : values(node, static_cast<std::size_t>(-1))) out->push_back(value_entry(path, v));
    for (HiveNode c : children(node)) pending.emplace_back(c, path.empty() ? name(c) : path + "\\" + name(c));
  }
  std::sort(out->begin(), out->end());
  return !read_error_;
}

}  // namespace krelvon::rescue
