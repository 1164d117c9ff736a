#include "cli/static_iconv.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <strings.h>

namespace {

enum class Encoding { kUtf8, kLatin1, kUtf16le };

struct Conversion {
  Encoding from, to;
};

// The descriptors handed out: the conversions keep no state between calls.
const Conversion kConversions[] = {{Encoding::kUtf8, Encoding::kLatin1},
                                   {Encoding::kLatin1, Encoding::kUtf8},
                                   {Encoding::kUtf8, Encoding::kUtf16le},
                                   {Encoding::kUtf16le, Encoding::kUtf8}};

bool encoding_named(const char* name, Encoding* e) {
  if (strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "UTF8") == 0) *e = Encoding::kUtf8;
  else if (strcasecmp(name, "LATIN1") == 0 || strcasecmp(name, "ISO-8859-1") == 0) *e = Encoding::kLatin1;
  else if (strcasecmp(name, "UTF-16LE") == 0) *e = Encoding::kUtf16le;
  else return false;
  return true;
}

// One character read: its code point and length in bytes, or the error
// that stops the conversion there (EILSEQ, EINVAL).
struct Decoded {
  std::uint32_t code = 0;
  std::size_t length = 0;
  int error = 0;
};

// As the C library's, which takes the old five- and six-byte forms as well,
// up to 0x7FFFFFFF, and leaves it to the target encoding to refuse what lies
// past U+10FFFF.
Decoded decode_utf8(const unsigned char* p, std::size_t n) {
  const unsigned char c = p[0];
  if (c < 0x80) return {c, 1, 0};
  std::size_t length;
  std::uint32_t code, least;
  if (c >= 0xC2 && c <= 0xDF) length = 2, code = c & 0x1Fu, least = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) length = 3, code = c & 0x0Fu, least = 0x800;
  else if (c >= 0xF0 && c <= 0xF7) length = 4, code = c & 0x07u, least = 0x10000;
  else if (c >= 0xF8 && c <= 0xFB) length = 5, code = c & 0x03u, least = 0x200000;
  else if (c >= 0xFC && c <= 0xFD) length = 6, code = c & 0x01u, least = 0x4000000;
  else return {0, 0, EILSEQ};
  std::size_t i = 1;
  for (; i < length && i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return {0, 0, EILSEQ};
    code = (code << 6) | (p[i] & 0x3Fu);
  }
  // A sequence cut off by the end of the input is incomplete, whatever it
  // would have been.
  if (i < length) return {0, 0, EINVAL};
  if (code < least || (code >= 0xD800 && code <= 0xDFFF)) return {0, 0, EILSEQ};
  return {code, length, 0};
}

Decoded decode_utf16le(const unsigned char* p, std::size_t n) {
  if (n < 2) return {0, 0, EINVAL};
  const std::uint32_t unit = p[0] | (p[1] << 8);
  if (unit >= 0xDC00 && unit <= 0xDFFF) return {0, 0, EILSEQ};
  if (unit < 0xD800 || unit > 0xDBFF) return {unit, 2, 0};
  if (n < 4) return {0, 0, EINVAL};
  const std::uint32_t low = p[2] | (p[3] << 8);
  if (low < 0xDC00 || low > 0xDFFF) return {0, 0, EILSEQ};
  return {0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), 4, 0};
}

// The bytes of one code point in the target encoding; 0 when it has none.
std::size_t encode(Encoding e, std::uint32_t code, unsigned char* b) {
  switch (e) {
    case Encoding::kLatin1:
      if (code > 0xFF) return 0;
      b[0] = static_cast<unsigned char>(code);
      return 1;
    case Encoding::kUtf16le:
      if (code > 0x10FFFF) return 0;
      if (code < 0x10000) {
        b[0] = static_cast<unsigned char>(code), b[1] = static_cast<unsigned char>(code >> 8);
        return 2;
      } else {
        const std::uint32_t high = 0xD800 + ((code - 0x10000) >> 10), low = 0xDC00 + (code & 0x3FF);
        b[0] = static_cast<unsigned char>(high), b[1] = static_cast<unsigned char>(high >> 8);
        b[2] = static_cast<unsigned char>(low), b[3] = static_cast<unsigned char>(low >> 8);
        return 4;
      }
    case Encoding::kUtf8:  // from LATIN1 or UTF-16LE: never past U+10FFFF
      if (code < 0x80) {
        b[0] = static_cast<unsigned char>(code);
        return 1;
      } else if (code < 0x800) {
        b[0] = static_cast<unsigned char>(0xC0 | (code >> 6));
        b[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        return 2;
      } else if (code < 0x10000) {
        b[0] = static_cast<unsigned char>(0xE0 | (code >> 12));
        b[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
        b[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        return 3;
      } else {
        b[0] = static_cast<unsigned char>(0xF0 | (code >> 18));
        b[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
        b[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
        b[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        return 4;
      }
  }
  return 0;
}

}  // namespace

extern "C" {

void* krelvon_iconv_open(const char* to, const char* from) {
  Encoding t, f;
  if (encoding_named(to, &t) && encoding_named(from, &f)) {
    for (const Conversion& c : kConversions) {
      if (c.from == f && c.to == t) return const_cast<Conversion*>(&c);
    }
  }
  errno = EINVAL;
  return reinterpret_cast<void*>(-1);
}

bool krelvon_iconv_owns(const void* cd) {
  for (const Conversion& c : kConversions) {
    if (cd == &c) return true;
  }
  return false;
}

std::size_t krelvon_iconv(void* cd, char** in, std::size_t* in_left, char** out, std::size_t* out_left) {
  if (in == nullptr || *in == nullptr) return 0;  // a reset: there is no state
  const Conversion& c = *static_cast<const Conversion*>(cd);
  while (*in_left > 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(*in);
    Decoded d;
    if (c.from == Encoding::kUtf8) d = decode_utf8(p, *in_left);
    else if (c.from == Encoding::kUtf16le) d = decode_utf16le(p, *in_left);
    else d = {p[0], 1, 0};
    if (d.error) {
      errno = d.error;
      return static_cast<std::size_t>(-1);
    }
    // As the C library, which decodes first and then finds no room for the
    // target's smallest character before it asks whether the target has this one.
    if (*out_left < (c.to == Encoding::kUtf16le ? 2u : 1u)) {
      errno = E2BIG;
      return static_cast<std::size_t>(-1);
    }
    unsigned char bytes[4];
    const std::size_t length = encode(c.to, d.code, bytes);
    if (length == 0) {
      errno = EILSEQ;
      return static_cast<std::size_t>(-1);
    }
    if (length > *out_left) {
      errno = E2BIG;
      return static_cast<std::size_t>(-1);
    }
    std::memcpy(*out, bytes, length);
    *out += length, *out_left -= length;
    *in += d.length, *in_left -= d.length;
  }
  return 0;
}

int krelvon_iconv_close(void* cd) {
  if (!krelvon_iconv_owns(cd)) {
    errno = EBADF;
    return -1;
  }
  return 0;
}

}
