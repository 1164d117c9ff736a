// The one JSON writer of krelvon-scan: the report's objects, the backup's
// manifest lines and the registry objects are all written through it, one
// object on one line, keys in the order they are added.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krelvon::cli {

// Text as a JSON string, quotes included. Control characters are written
// \u00XX, quotes and backslashes escaped, UTF-8 kept. A byte that is not
// part of well-formed UTF-8 is written \udcXX, XX its value: a lone low
// surrogate, which no UTF-8 text can hold, so two names that differ in
// their bytes always differ in the report (Python reads such a string back
// to the bytes with .encode("utf-8", "surrogateescape")).
std::string json_string(const std::string& text);

// An object whose first key is "type"; done() gives its text.
class JsonObject {
 public:
  explicit JsonObject(const char* type);
  JsonObject& text(const char* key, const std::string& value);
  JsonObject& number(const char* key, std::int64_t value);
  JsonObject& unsigned_number(const char* key, std::uint64_t value);
  JsonObject& truth(const char* key, bool value);
  JsonObject& texts(const char* key, const std::vector<std::string>& values);
  std::string done() const { return text_ + "}"; }

 private:
  std::string text_;
};

}  // namespace krelvon::cli
