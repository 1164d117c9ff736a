// Character conversions of a program linked statically with the C library.
//
// The static C library loads its character conversions as shared modules at
// run time, which a rescue system without the C library's files does not
// have: there, libhivex could convert no key or value name. krelvon-scan-static
// routes libhivex's iconv calls here (the link's --wrap, see
// static_iconv_wrap.cpp), to the four conversions it makes, built in.
#pragma once

#include <cstddef>

extern "C" {

// As iconv_open(3) for UTF-8 <-> LATIN1 and UTF-8 <-> UTF-16LE (names in
// any case); (void*)-1 with errno EINVAL for any other pair.
void* krelvon_iconv_open(const char* to, const char* from);
// As iconv(3): stops with EILSEQ at an invalid character, EINVAL at one cut
// off by the end of the input, E2BIG at one that does not fit, with *in and
// *out past everything converted; returns 0 (no conversion is lossy).
std::size_t krelvon_iconv(void* cd, char** in, std::size_t* in_left, char** out, std::size_t* out_left);
int krelvon_iconv_close(void* cd);
// Whether cd came from krelvon_iconv_open.
bool krelvon_iconv_owns(const void* cd);

}
