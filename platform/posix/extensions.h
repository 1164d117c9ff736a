// The POSIX layer's own extensions, which are no Win32 functions: how a
// front end or a test answers the message boxes the layer cannot show.
#pragma once

#include "platform/posix/win32_windows.h"

using PosixMessageBoxHandler = int (*)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void posix_set_message_box_handler(PosixMessageBoxHandler handler);
