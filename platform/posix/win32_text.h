// The POSIX layer's text conversion: UTF-16 to UTF-8 under the Win32 name.
#pragma once

#include "platform/posix/win32_base.h"

#define CP_ACP 0
#define CP_OEMCP 1
// UTF-16 to UTF-8; fails (0, ERROR_NO_UNICODE_TRANSLATION) on a lone
// surrogate. length -1: up to and including the terminator.
int WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR* wide, int length, LPSTR out,
                        int out_size, LPCSTR default_char, BOOL* used_default);
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
