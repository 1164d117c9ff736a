#include "report/json.h"

#include <cstdio>

#include "report/text.h"

namespace krelvon::cli {

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
      std::snprintf(esc, sizeof esc, "\\udc%02x", c);
      out += esc;
    }
  }
  return out + "\"";
}

JsonObject::JsonObject(const char* type) : text_("{\"type\":" + json_string(type)) {}

JsonObject& JsonObject::text(const char* key, const std::string& value) {
  text_ += std::string(",\"") + key + "\":" + json_string(value);
  return *this;
}

JsonObject& JsonObject::number(const char* key, std::int64_t value) {
  text_ += std::string(",\"") + key + "\":" + std::to_string(value);
  return *this;
}

JsonObject& JsonObject::unsigned_number(const char* key, std::uint64_t value) {
  text_ += std::string(",\"") + key + "\":" + std::to_string(value);
  return *this;
}

JsonObject& JsonObject::truth(const char* key, bool value) {
  text_ += std::string(",\"") + key + "\":" + (value ? "true" : "false");
  return *this;
}

JsonObject& JsonObject::texts(const char* key, const std::vector<std::string>& values) {
  text_ += std::string(",\"") + key + "\":[";
  for (std::size_t i = 0; i < values.size(); ++i) text_ += (i ? "," : "") + json_string(values[i]);
  text_ += "]";
  return *this;
}

}  // namespace krelvon::cli
