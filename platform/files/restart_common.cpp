#include <cstring>

#include "platform/files/restart.h"

namespace krelvon::files {

namespace {

std::string without_prefix(std::string name) {
  if (!name.empty() && name[0] == '!') name.erase(0, 1);
  if (name.compare(0, 4, "\\??\\") == 0) name.erase(0, 4);
  return name;
}

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
  return text.substr(begin, end - begin);
}

bool same_text(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    const char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

bool is_section(const std::string& line) { return !line.empty() && line[0] == '['; }

bool is_rename_section(const std::string& line) {
  if (!is_section(line)) return false;
  const std::size_t close = line.find(']');
  return close != std::string::npos && same_text(trimmed(line.substr(1, close - 1)), "rename");
}

// Each line of text with its end (LF, CR LF, or none for the last).
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = text.find('\n', begin);
    const std::size_t next = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(begin, next - begin));
    begin = next;
  }
  return lines;
}

}  // namespace

std::vector<PendingOperation> pending_operations_of(const char* data, std::size_t size) {
  std::vector<std::string> names;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != '\0') continue;
    names.emplace_back(data + begin, i - begin);
    begin = i + 1;
  }
  // The value ends with an empty string after the last pair; a source is
  // never empty, a target may be.
  std::vector<PendingOperation> operations;
  for (std::size_t i = 0; i + 1 < names.size(); i += 2) {
    if (names[i].empty()) break;
    operations.push_back({without_prefix(names[i]), without_prefix(names[i + 1])});
  }
  return operations;
}

std::vector<PendingOperation> wininit_operations_of(const std::string& text) {
  std::vector<PendingOperation> operations;
  bool in_rename = false;
  for (const std::string& raw : lines_of(text)) {
    const std::string line = trimmed(raw.back() == '\n' ? raw.substr(0, raw.size() - 1) : raw);
    if (is_section(line)) {
      in_rename = is_rename_section(line);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!in_rename || line.empty() || line[0] == ';' || equals == std::string::npos) continue;
    const std::string key = trimmed(line.substr(0, equals));
    const std::string value = trimmed(line.substr(equals + 1));
    operations.push_back({value, same_text(key, "NUL") ? std::string() : key});
  }
  return operations;
}

std::string wininit_with(const std::string& text, const std::string& key, const std::string& value, bool* already) {
  *already = false;
  const std::string target = same_text(key, "NUL") ? std::string() : key;
  for (const PendingOperation& op : wininit_operations_of(text)) {
    if (same_text(op.source, value) && same_text(op.target, target)) {
      *already = true;
      return text;
    }
  }
  const std::string entry = key + "=" + value + "\r\n";
  std::vector<std::string> lines = lines_of(text);
  std::string result;
  bool added = false;
  bool in_rename = false;
  std::size_t last_entry_end = std::string::npos;  // in result, after the section's last non-empty line
  for (const std::string& raw : lines) {
    const std::string line = trimmed(raw.back() == '\n' ? raw.substr(0, raw.size() - 1) : raw);
    if (!added && in_rename && is_section(line)) {
      result.insert(last_entry_end, entry);
      added = true;
      in_rename = false;
    }
    if (!added && is_rename_section(line)) in_rename = true;
    result += raw;
    if (in_rename && !line.empty()) last_entry_end = result.size();
  }
  // The last line may lack its end: it gets one before anything follows it.
  const bool after_last = !added && (!in_rename || last_entry_end == result.size());
  if (after_last && !result.empty() && result.back() != '\n') {
    result += "\r\n";
    if (in_rename) last_entry_end = result.size();
  }
  if (!added && in_rename) {
    result.insert(last_entry_end, entry);
    added = true;
  }
  if (!added) result += "[rename]\r\n" + entry;
  return result;
}

bool is_short_name(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return name == "." || name == "..";
  const std::size_t dot = name.find('.');
  const std::size_t base = dot == std::string::npos ? name.size() : dot;
  if (base == 0 || base > 8) return false;
  if (dot != std::string::npos && (name.size() - dot - 1 > 3 || name.find('.', dot + 1) != std::string::npos))
    return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr(" +,;=[]\"*?<>|/:\\", c) != nullptr) return false;
  }
  return true;
}

}  // namespace krelvon::files
