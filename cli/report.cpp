#include "cli/report.h"

#include <cstring>

namespace krelvon::cli {

namespace {

constexpr const char* kNames[] = {"W32/BugBear.B.Worm", "W32/BugBear.Worm"};
constexpr char kGap[] = "     ";

struct Outcome {
  const char* text;
  const char* action;
  bool ok;
};
constexpr Outcome kOutcomes[] = {
    {"Disinfected", "disinfect", true},
    {"Could not disinfect", "disinfect", false},
    {"renamed", "rename", true},
    {"Rename failed", "rename", false},
    {"deleted", "delete", true},
    {"Delete failed", "delete", false},
    {"not disinfected as per user's selection", "ignore", true},
    {"removed", "terminate", true},
};

// Length of the UTF-8 sequence starting at s[i], 0 when it is not one.
std::size_t utf8_length(const std::string& s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t n = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

bool parse_finding(const std::string& line, Finding& out) {
  // The detection name follows the last gap that is followed by a known
  // name: a path may hold five spaces itself.
  for (const char* name : kNames) {
    const std::string key = std::string(kGap) + name + " ";
    const std::size_t at = line.rfind(key);
    if (at == std::string::npos) continue;
    out.path = line.substr(0, at);
    out.detection = name;
    out.outcome = line.substr(at + key.size());
    out.action.clear();
    out.ok = false;
    for (const Outcome& o : kOutcomes) {
      if (out.outcome == o.text) {
        out.action = o.action;
        out.ok = o.ok;
      }
    }
    return true;
  }
  return false;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    char esc[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const std::size_t n = utf8_length(text, i)) {
      out.append(text, i, n);
      i += n - 1;
    } else {
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    }
  }
  return out + "\"";
}

std::string finding_json(const std::string& line) {
  Finding f;
  std::string json = "{\"type\":\"finding\"";
  if (parse_finding(line, f)) {
    json += ",\"path\":" + json_string(f.path) + ",\"detection\":" + json_string(f.detection) +
            ",\"action\":" + json_string(f.action) + ",\"outcome\":" + json_string(f.outcome) +
            ",\"ok\":" + (f.ok ? "true" : "false");
  }
  return json + ",\"line\":" + json_string(line) + "}";
}

std::string skipped_json(const std::string& path, const std::string& reason) {
  return "{\"type\":\"skipped\",\"path\":" + json_string(path) + ",\"reason\":" + json_string(reason) + "}";
}

std::string statistics_json(int scanned, int infected, int disinfected, int renamed, int deleted,
                            bool terminated) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "{\"type\":\"statistics\",\"scanned\":%d,\"infected\":%d,\"disinfected\":%d,"
                "\"renamed\":%d,\"deleted\":%d,\"status\":\"%s\"}",
                scanned, infected, disinfected, renamed, deleted, terminated ? "terminated" : "completed");
  return buf;
}

Report::~Report() { close(); }

bool Report::open(const char* path) {
  file_ = std::fopen(path, "wb");
  return file_ != nullptr;
}

void Report::put(const std::string& json) {
  if (!file_) return;
  if (std::fputs(json.c_str(), file_) < 0 || std::fputc('\n', file_) == EOF || std::fflush(file_) != 0)
    failed_ = true;
}

void Report::finding(const char* line) { put(finding_json(line)); }

void Report::skipped(const char* path, const char* reason) { put(skipped_json(path, reason)); }

void Report::statistics(int scanned, int infected, int disinfected, int renamed, int deleted, bool terminated) {
  put(statistics_json(scanned, infected, disinfected, renamed, deleted, terminated));
}

bool Report::close() {
  if (!file_) return !failed_;
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

}  // namespace krelvon::cli
