#include "platform/posix/win32_text.h"

#include <cstring>
#include <string>

int WideCharToMultiByte(UINT, DWORD, const WCHAR* wide, int length, LPSTR out, int out_size,
                        LPCSTR, BOOL* used_default) {
  if (used_default) *used_default = FALSE;
  if (!wide || length == 0 || out_size < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string utf8;
  const bool to_terminator = length < 0;
  for (int i = 0; to_terminator || i < length; ++i) {
    std::uint32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      const std::uint32_t lo = (to_terminator || i + 1 < length) ? wide[i + 1] : 0;
      if (lo < 0xDC00 || lo > 0xDFFF) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
    if (to_terminator && c == 0) break;
  }
  const int needed = static_cast<int>(utf8.size());
  if (out_size == 0) return needed;
  if (needed > out_size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, utf8.data(), utf8.size());
  return needed;
}
