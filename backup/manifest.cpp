#include "backup/manifest.h"

#include <cerrno>
#include <cstdlib>

#include "report/report.h"

namespace krelvon::cli::manifest {

namespace {

using Line = JsonObject;

// The JSON reader of parse_object: a position in the line.
struct Reader {
  const std::string& s;
  std::size_t i = 0;
  void blank() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r')) ++i;
  }
  bool take(char c) {
    blank();
    if (i < s.size() && s[i] == c) return ++i, true;
    return false;
  }
  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  // \udcXX (a lone low surrogate) stands for the byte XX: that is how
  // json_string writes bytes that are no UTF-8; any other \uXXXX for its
  // UTF-8 form.
  bool string(std::string* out) {
    if (!take('"')) return false;
    out->clear();
    while (i < s.size()) {
      const char c = s[i++];
      if (c == '"') return true;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (i >= s.size()) return false;
      const char e = s[i++];
      switch (e) {
        case '"': case '\\': case '/': *out += e; break;
        case 'n': *out += '\n'; break;
        case 't': *out += '\t'; break;
        case 'r': *out += '\r'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'u': {
          if (i + 4 > s.size()) return false;
          unsigned v = 0;
          for (int k = 0; k < 4; ++k) {
            const int h = hex(s[i++]);
            if (h < 0) return false;
            v = v * 16 + static_cast<unsigned>(h);
          }
          if (v < 0x80 || (v >= 0xDC80 && v <= 0xDCFF)) {
            *out += static_cast<char>(v & 0xFF);
          } else if (v < 0x800) {
            *out += static_cast<char>(0xC0 | (v >> 6));
            *out += static_cast<char>(0x80 | (v & 0x3F));
          } else {
            *out += static_cast<char>(0xE0 | (v >> 12));
            *out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (v & 0x3F));
          }
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool scalar(std::string* out) {
    blank();
    const std::size_t start = i;
    while (i < s.size() && (s[i] == '-' || (s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'z'))) ++i;
    *out = s.substr(start, i - start);
    return !out->empty();
  }
  bool value(std::string* out) {
    blank();
    if (i < s.size() && s[i] == '"') return string(out);
    if (!take('[')) return scalar(out);
    out->clear();
    if (take(']')) return true;
    for (;;) {
      std::string item;
      if (!string(&item)) return false;
      *out += item + '\0';
      if (take(']')) return true;
      if (!take(',')) return false;
    }
  }
};

bool integer(const Fields& f, const char* key, std::int64_t* out) {
  const auto it = f.find(key);
  if (it == f.end() || it->second.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(it->second.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

bool unsigned_integer(const Fields& f, const char* key, std::uint64_t* out) {
  const auto it = f.find(key);
  if (it == f.end() || it->second.empty() || it->second[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(it->second.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

std::string text(const Fields& f, const char* key) {
  const auto it = f.find(key);
  return it == f.end() ? std::string() : it->second;
}

#ifdef _WIN32
constexpr char kModeKey[] = "attributes";
#else
constexpr char kModeKey[] = "mode";
#endif

bool read_before(const Fields& f, Entry* e) {
  e->run = text(f, "run");
  e->path = text(f, "path");
  e->action = text(f, "action");
  e->to = text(f, "to");
  e->copy = text(f, "copy");
  e->sha256 = text(f, "sha256");
  std::uint64_t mode = 0, owner = 0, group = 0;
  const bool ok = integer(f, "entry", &e->number) && unsigned_integer(f, "size", &e->meta.size) &&
                  unsigned_integer(f, kModeKey, &mode) && integer(f, "accessed", &e->meta.accessed) &&
                  integer(f, "modified", &e->meta.modified) &&
                  unsigned_integer(f, "volume", &e->meta.identity.volume) &&
                  unsigned_integer(f, "index", &e->meta.identity.index);
#ifdef _WIN32
  if (!integer(f, "created", &e->meta.created)) return false;
#else
  if (!unsigned_integer(f, "owner", &owner) || !unsigned_integer(f, "group", &group)) return false;
#endif
  e->meta.mode = static_cast<std::uint32_t>(mode);
  e->meta.owner = static_cast<std::uint32_t>(owner);
  e->meta.group = static_cast<std::uint32_t>(group);
  e->meta.regular = true;
  const bool known_action =
      e->action == "rewrite" || e->action == "delete" || (e->action == "rename" && !e->to.empty());
  return ok && known_action && !e->run.empty() && !e->path.empty() && !e->copy.empty() && e->sha256.size() == 64;
}

}  // namespace

bool parse_object(const std::string& line, Fields* out) {
  Reader r{line};
  out->clear();
  if (!r.take('{')) return false;
  if (r.take('}')) return r.i == line.size();
  for (;;) {
    std::string key, value;
    if (!r.string(&key) || !r.take(':') || !r.value(&value)) return false;
    (*out)[key] = value;
    if (r.take('}')) break;
    if (!r.take(',')) return false;
  }
  r.blank();
  return r.i == line.size();
}

std::string header_line() { return Line("krelvon-backup").number("version", 1).done(); }

std::string identity_text(const KrelvonFileIdentity& id) {
  return std::to_string(id.volume) + ":" + std::to_string(id.index);
}

std::string run_line(const std::string& run, const std::string& started, const std::vector<std::string>& folders,
                     const std::vector<std::string>& identities) {
  return Line("run")
      .text("run", run)
      .text("started", started)
      .texts("folders", folders)
      .texts("identities", identities)
      .done();
}

const Run* Contents::run(const std::string& name) const {
  for (const Run& r : runs)
    if (r.name == name) return &r;
  return nullptr;
}

std::string before_line(const Entry& e) {
  Line l("before");
  l.text("run", e.run).number("entry", e.number).text("path", e.path).text("action", e.action);
  if (!e.to.empty()) l.text("to", e.to);
  l.text("copy", e.copy).unsigned_number("size", e.meta.size).text("sha256", e.sha256);
  l.unsigned_number(kModeKey, e.meta.mode).number("accessed", e.meta.accessed).number("modified", e.meta.modified);
#ifdef _WIN32
  l.number("created", e.meta.created);
#else
  l.unsigned_number("owner", e.meta.owner).unsigned_number("group", e.meta.group);
#endif
  l.unsigned_number("volume", e.meta.identity.volume).unsigned_number("index", e.meta.identity.index);
  return l.done();
}

std::string after_line(const Entry& e) {
  Line l("after");
  l.text("run", e.run).number("entry", e.number).text("outcome", e.outcome);
  if (!e.after_to.empty()) l.text("to", e.after_to);
  if (!e.after_sha256.empty()) l.text("sha256", e.after_sha256);
  return l.done();
}

namespace {

// The items of an array value of parse_object.
std::vector<std::string> items(const std::string& value) {
  std::vector<std::string> out;
  for (std::size_t from = 0; from < value.size();) {
    const std::size_t end = value.find('\0', from);
    out.push_back(value.substr(from, end - from));
    from = end + 1;
  }
  return out;
}

}  // namespace

Contents read(const std::string& text_of_file) {
  Contents c;
  c.ends_with_newline = text_of_file.empty() || text_of_file.back() == '\n';
  // A scanner stopped right after creating the manifest leaves it empty.
  c.ours = text_of_file.empty();
  std::map<std::pair<std::string, std::int64_t>, std::size_t> index;
  std::size_t start = 0;
  bool first = true;
  // A line that is none of ours, waiting for the next line to tell whether
  // it was cut short by a stopped scanner.
  bool pending = false;
  while (start < text_of_file.size()) {
    std::size_t end = text_of_file.find('\n', start);
    if (end == std::string::npos) end = text_of_file.size();
    const std::string line = text_of_file.substr(start, end - start);
    start = end + 1;
    Fields f;
    const bool parsed = parse_object(line, &f);
    const std::string type = parsed ? text(f, "type") : "";
    if (first) {
      first = false;
      c.ours = type == "krelvon-backup" && text(f, "version") == "1";
      if (!c.ours) return c;
      continue;
    }
    const bool run_line = type == "run" && !text(f, "run").empty();
    if (pending) ++(run_line ? c.cut_short : c.damaged_lines);
    pending = false;
    if (run_line) {
      c.runs.push_back(Run{text(f, "run"), items(text(f, "folders")), items(text(f, "identities"))});
    } else if (type == "before") {
      Entry e;
      if (!read_before(f, &e)) {
        pending = true;
        continue;
      }
      index[{e.run, e.number}] = c.entries.size();
      c.entries.push_back(e);
    } else if (type == "after") {
      std::int64_t number = 0;
      const auto it = integer(f, "entry", &number) ? index.find({text(f, "run"), number}) : index.end();
      if (it == index.end() || text(f, "outcome").empty()) {
        pending = true;
        continue;
      }
      // A later after line of the same entry supersedes an earlier one.
      Entry& e = c.entries[it->second];
      e.settled = true;
      e.outcome = text(f, "outcome");
      e.after_sha256 = text(f, "sha256");
      e.after_to = text(f, "to");
    } else {
      pending = true;
    }
  }
  if (pending) ++(c.ends_with_newline ? c.damaged_lines : c.cut_short);
  return c;
}

}  // namespace krelvon::cli::manifest
