// Linked into krelvon-scan-static with -Wl,--wrap=iconv_open,--wrap=iconv,
// --wrap=iconv_close: every call of those three goes through here, to the
// built-in conversions, and only a pair they lack to the C library's.
#include <iconv.h>

#include "cli/static_iconv.h"

extern "C" {

iconv_t __real_iconv_open(const char* to, const char* from);
std::size_t __real_iconv(iconv_t cd, char** in, std::size_t* in_left, char** out, std::size_t* out_left);
int __real_iconv_close(iconv_t cd);

iconv_t __wrap_iconv_open(const char* to, const char* from) {
  void* cd = krelvon_iconv_open(to, from);
  return cd != reinterpret_cast<void*>(-1) ? cd : __real_iconv_open(to, from);
}

std::size_t __wrap_iconv(iconv_t cd, char** in, std::size_t* in_left, char** out, std::size_t* out_left) {
  if (krelvon_iconv_owns(cd)) return krelvon_iconv(cd, in, in_left, out, out_left);
  return __real_iconv(cd, in, in_left, out, out_left);
}

int __wrap_iconv_close(iconv_t cd) {
  return krelvon_iconv_owns(cd) ? krelvon_iconv_close(cd) : __real_iconv_close(cd);
}

}
