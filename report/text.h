// Texts of the scan (paths above all) as krelvon-scan writes them: on a
// terminal line and in the JSON report.
#pragma once

#include <cstddef>
#include <string>

namespace krelvon::cli {

// Length of the well-formed UTF-8 sequence starting at text[at] (2 to 4
// bytes: no overlong forms, no surrogates, nothing above U+10FFFF), 0 when
// there is none there. ASCII bytes are not sequences here: 0.
std::size_t utf8_length(const std::string& text, std::size_t at);

// The text as part of one line of output, so that a file name cannot break
// a line or send the terminal a command: a line feed, carriage return and
// tab become \n, \r and \t, every other control character (0x00 to 0x1F,
// 0x7F) \xHH (two lower-case hex digits). On POSIX, where '\' is an
// ordinary character of a file name, a backslash is doubled, and so is
// written \\; bytes that are not UTF-8, and the UTF-8 forms of the C1
// controls U+0080 to U+009F, become \xHH byte by byte. On Windows the
// backslash is the path separator and stays single, and bytes from 0x80 on
// are the console code page's characters and stay as they are.
std::string terminal_text(const std::string& text);

// A separator of the paths given on the command line: '/' and, on Windows,
// '\'.
inline bool is_separator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

}  // namespace krelvon::cli
