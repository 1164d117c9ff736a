#include "system/runonce.h"

#include <cstdio>
#include <cstring>

#include "engine/scan_context.h"
#include "handlers/signatures.h"

namespace krelvon {

namespace {

// An open key; the operation's success includes closing it without error.
class Key {
 public:
  Key(HKEY root, const char* subkey, REGSAM access) {
    if (RegOpenKeyExA(root, subkey, 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { close(); }
  bool open() const { return key_ != nullptr; }
  HKEY get() const { return key_; }
  bool close() {
    if (key_ == nullptr) return false;
    const bool closed = RegCloseKey(key_) == ERROR_SUCCESS;
    key_ = nullptr;
    return closed;
  }

 private:
  HKEY key_ = nullptr;
};

int finish(Key* key, bool done) {
  const bool closed = key->close();
  return done && closed ? 1 : 0;
}

}  // namespace

int registry_key_info(HKEY root, const char* subkey, DWORD* subkeys, DWORD* values) {
  Key key(root, subkey, KEY_READ);
  if (!key.open()) return 0;
  const bool done = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, subkeys, nullptr,
                                     nullptr, values, nullptr, nullptr, nullptr,
                                     nullptr) == ERROR_SUCCESS;
  return finish(&key, done);
}

int registry_value_name(HKEY root, const char* subkey, DWORD index, char (&name)[kValueNameCapacity]) {
  Key key(root, subkey, KEY_ALL_ACCESS);
  if (!key.open()) return 0;
  DWORD size = kValueNameCapacity;
  const bool done = RegEnumValueA(key.get(), index, name, &size, nullptr, nullptr, nullptr,
                                  nullptr) == ERROR_SUCCESS;
  name[kValueNameCapacity - 1] = '\0';
  return finish(&key, done);
}

int registry_value_data(HKEY root, const char* subkey, const char* name,
                        char (&data)[kValueDataCapacity + 1]) {
  Key key(root, subkey, KEY_READ);
  if (!key.open()) return 0;
  DWORD size = 0;
  bool done = RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
  // Data that does not fit the buffer is not read at all.
  if (done && size > static_cast<DWORD>(kValueDataCapacity)) done = false;
  if (done) {
    DWORD got = size;
    done = RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                            &got) == ERROR_SUCCESS;
    if (done) data[got <= static_cast<DWORD>(kValueDataCapacity) ? got : kValueDataCapacity] = '\0';
  }
  return finish(&key, done);
}

int registry_delete_value(HKEY root, const char* subkey, const char* name) {
  Key key(root, subkey, KEY_ALL_ACCESS);
  if (!key.open()) return 0;
  const bool done = RegDeleteValueA(key.get(), name) == ERROR_SUCCESS;
  return finish(&key, done);
}

int clean_runonce(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  if (slash == nullptr) return 0;
  char file_name[kPathCapacity];
  copy_text(file_name, slash + 1);

  DWORD subkeys = 0, count = 0;
  if (!registry_key_info(HKEY_LOCAL_MACHINE, kRunOnceKey, &subkeys, &count)) return 0;
  for (DWORD i = 0; i <= count; ++i) {
    char name[kValueNameCapacity];
    name[0] = '\0';
    if (!registry_value_name(HKEY_LOCAL_MACHINE, kRunOnceKey, i, name)) continue;
    char data[kValueDataCapacity + 1];
    if (!registry_value_data(HKEY_LOCAL_MACHINE, kRunOnceKey, name, data)) continue;
    _strlwr(file_name);
    _strlwr(data);
    if (std::strstr(data, file_name) == nullptr) continue;
    if (!registry_delete_value(HKEY_LOCAL_MACHINE, kRunOnceKey, name)) continue;
    if (g_scan.progress_window != nullptr) {
      // The record names the value deleted, under its key (cut to a path's
      // length there).
      char value[sizeof "HKEY_LOCAL_MACHINE\\" + sizeof kRunOnceKey + kValueNameCapacity];
      std::snprintf(value, sizeof value, "HKEY_LOCAL_MACHINE\\%s\\%s", kRunOnceKey, name);
      append_finding({FindingKind::kSystemRegistry, FindingOutcome::kRemoved, value, kSystemDetection},
                     kSystemRegistryObject, kSystemDetection);
    }
    return 1;
  }
  return 0;
}

}  // namespace krelvon
