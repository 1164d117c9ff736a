#include "report/text.h"

#include <cstdio>

namespace krelvon::cli {

namespace {

bool in(unsigned char b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; }

void append_hex(std::string& out, unsigned char b) {
  char esc[5];
  std::snprintf(esc, sizeof esc, "\\x%02x", b);
  out += esc;
}

}  // namespace

std::size_t utf8_length(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char b = byte(0);
  std::size_t n = 0;
  unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
  if (in(b, 0xC2, 0xDF)) {
    n = 2;
  } else if (in(b, 0xE0, 0xEF)) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (in(b, 0xF0, 0xF4)) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  }
  if (n == 0 || at + n > text.size() || !in(byte(1), lo, hi)) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (!in(byte(k), 0x80, 0xBF)) return 0;
  return n;
}

std::string terminal_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      append_hex(out, c);
#ifndef _WIN32
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x80) {
      const std::size_t n = utf8_length(text, i);
      const bool c1_control = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if (n == 0 || c1_control) {
        append_hex(out, c);
        if (c1_control) append_hex(out, static_cast<unsigned char>(text[++i]));
      } else {
        out.append(text, i, n);
        i += n - 1;
      }
#endif
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace krelvon::cli
