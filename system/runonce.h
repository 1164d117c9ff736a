// Removes the RunOnce start-up value that names a worm file, through four
// small registry operations that each open the key, do one thing and close
// it again.
#pragma once

#include "platform/platform.h"

namespace krelvon {

inline constexpr char kRunOnceKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
inline constexpr int kValueNameCapacity = 300;  // characters, terminator included
inline constexpr int kValueDataCapacity = 300;  // bytes

// 1 if a value was deleted, else 0. Deletes the first value (in index
// order) of HKLM's RunOnce key whose data contains the file name of path,
// compared in lower case, and writes the "System Registry" line when a
// progress window is set. Data longer than 300 bytes is skipped, never
// read past the buffer; data without a terminator ends at its size.
int clean_runonce(const char* path);

// The four registry operations: 1 on success (closing the key included).
int registry_key_info(HKEY root, const char* subkey, DWORD* subkeys, DWORD* values);
int registry_value_name(HKEY root, const char* subkey, DWORD index, char (&name)[kValueNameCapacity]);
// data holds the value's bytes and a terminator after them.
int registry_value_data(HKEY root, const char* subkey, const char* name,
                        char (&data)[kValueDataCapacity + 1]);
int registry_delete_value(HKEY root, const char* subkey, const char* name);

}  // namespace krelvon
