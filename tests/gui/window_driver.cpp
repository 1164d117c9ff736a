#include "tests/gui/window_driver.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>

namespace krelvon::gui {

namespace {

std::string own_folder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  char* slash = std::strrchr(path, '\\');
  if (slash) slash[1] = '\0';
  // A build folder outside every drive of the prefix comes as "unix\...",
  // which the file and process functions take only in its long form.
  if (std::strncmp(path, "unix\\", 5) == 0) return std::string("\\\\?\\") + path;
  return path;
}

struct Search {
  DWORD pid;
  int control_id;
  const char* caption;
  HWND found;
};

BOOL CALLBACK match_dialog(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != s->pid || !IsWindowVisible(window)) return TRUE;
  char cls[32] = {};
  GetClassNameA(window, cls, sizeof cls);
  if (std::strcmp(cls, "#32770") != 0) return TRUE;
  if (s->control_id != 0 && GetDlgItem(window, s->control_id) == nullptr) return TRUE;
  if (s->caption != nullptr && text_of(window) != s->caption) return TRUE;
  s->found = window;
  return FALSE;
}

INT_PTR CALLBACK no_handling(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// PNG pieces: CRC-32 of a chunk and Adler-32 of the zlib stream.
std::uint32_t crc32(const unsigned char* data, std::size_t n, std::uint32_t crc = 0) {
  crc = ~crc;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void chunk(std::string& out, const char* type, const std::string& data) {
  put32(out, static_cast<std::uint32_t>(data.size()));
  std::string body = type + data;
  out += body;
  put32(out, crc32(reinterpret_cast<const unsigned char*>(body.data()), body.size()));
}

// A PNG of 8-bit RGB rows, compressed with stored deflate blocks only.
std::string encode_png(int w, int h, const std::vector<unsigned char>& rgb) {
  std::string raw;
  for (int y = 0; y < h; ++y) {
    raw.push_back(0);
    raw.append(reinterpret_cast<const char*>(&rgb[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) * 3]),
               static_cast<std::size_t>(w) * 3);
  }
  std::string z = "\x78\x01";
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    z.push_back(at + n >= raw.size() ? 1 : 0);
    z.push_back(static_cast<char>(n & 0xFF));
    z.push_back(static_cast<char>(n >> 8));
    z.push_back(static_cast<char>(~n & 0xFF));
    z.push_back(static_cast<char>((~n >> 8) & 0xFF));
    z.append(raw, at, n);
    if (raw.empty()) break;
  }
  put32(z, (b << 16) | a);
  std::string header;
  put32(header, static_cast<std::uint32_t>(w));
  put32(header, static_cast<std::uint32_t>(h));
  header += std::string("\x08\x02\x00\x00\x00", 5);
  std::string png = "\x89PNG\r\n\x1a\n";
  chunk(png, "IHDR", header);
  chunk(png, "IDAT", z);
  chunk(png, "IEND", "");
  return png;
}

}  // namespace

Program::Program(const std::string& exe_name, const std::string& arguments) {
  std::string command = "\"" + own_folder() + exe_name + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, "C:\\", &startup, &info_))
  {
    std::fprintf(stderr, "cannot start %s: error %lu\n", command.c_str(), GetLastError());
    info_ = {};
  }
}

Program::~Program() {
  if (!started()) return;
  if (!wait_exit(0)) {
    TerminateProcess(info_.hProcess, 1);
    WaitForSingleObject(info_.hProcess, 5000);
  }
  CloseHandle(info_.hThread);
  CloseHandle(info_.hProcess);
}

bool Program::wait_exit(int timeout_ms) {
  return WaitForSingleObject(info_.hProcess, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

void draw_frames_without_window_manager() {
  for (const char* value : {"Decorated", "Managed"})
    RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", value, REG_SZ, "N", 2);
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(10);
  }
}

HWND find_dialog(DWORD pid, int control_id, const char* caption) {
  Search s{pid, control_id, caption, nullptr};
  EnumWindows(&match_dialog, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND wait_dialog(DWORD pid, int control_id, const char* caption, int timeout_ms) {
  HWND found = nullptr;
  wait_until([&] { return (found = find_dialog(pid, control_id, caption)) != nullptr; }, timeout_ms);
  return found;
}

std::string text_of(HWND window) {
  char text[1024] = {};
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                      nullptr);
  return text;
}

std::string item_text(HWND dialog, int id) { return text_of(GetDlgItem(dialog, id)); }

std::vector<std::string> list_lines(HWND list) {
  std::vector<std::string> lines;
  const LRESULT n = SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < n; ++i) {
    // Between processes the text travels in its wide form.
    wchar_t wide[1024] = {};
    SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide));
    char line[1024] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, line, sizeof line, nullptr, nullptr);
    lines.emplace_back(line);
  }
  return lines;
}

bool item_visible(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control != nullptr && (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

RECT child_rect(HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

RECT dialog_units(int x, int y, int w, int h) {
  // An empty dialog of our own with the same font gives the same base units.
  alignas(4) unsigned char buffer[256] = {};
  auto* t = reinterpret_cast<DLGTEMPLATE*>(buffer);
  t->style = DS_SETFONT | WS_POPUP;
  auto* words = reinterpret_cast<WORD*>(t + 1);
  *words++ = 0;  // menu
  *words++ = 0;  // class
  *words++ = 0;  // title
  *words++ = 8;  // point size
  for (const char* c = "MS Sans Serif"; *c; ++c) *words++ = static_cast<WORD>(*c);
  *words = 0;
  HWND dialog = CreateDialogIndirectParamA(GetModuleHandleA(nullptr), t, nullptr, &no_handling, 0);
  // The dialog manager maps position and size each on its own.
  RECT r{x, y, w, h};
  MapDialogRect(dialog, &r);
  DestroyWindow(dialog);
  return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
}

void click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

std::string screenshot(HWND window, const std::string& name) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(200);
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
  const auto* px = static_cast<const unsigned char*>(bits);
  for (std::size_t i = 0; i < static_cast<std::size_t>(w) * static_cast<std::size_t>(h); ++i) {
    rgb[i * 3] = px[i * 4 + 2];
    rgb[i * 3 + 1] = px[i * 4 + 1];
    rgb[i * 3 + 2] = px[i * 4];
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  const std::string folder = own_folder() + "screenshots";
  std::filesystem::create_directories(folder);
  const std::string path = folder + "\\" + name + ".png";
  std::ofstream(path, std::ios::binary) << encode_png(w, h, rgb);
  return path;
}

namespace {

// A bounded reader over the bytes of a template.
class TemplateReader {
 public:
  TemplateReader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool ok() const { return ok_; }
  WORD word() {
    if (at_ + 2 > size_) {
      ok_ = false;
      return 0;
    }
    const WORD v = static_cast<WORD>(data_[at_] | (data_[at_ + 1] << 8));
    at_ += 2;
    return v;
  }
  DWORD dword() {
    const DWORD lo = word();
    return lo | (static_cast<DWORD>(word()) << 16);
  }
  int coordinate() { return static_cast<short>(word()); }
  std::string text() {
    std::string out;
    for (WORD c = word(); ok_ && c != 0; c = word()) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
  }
  // A name or an ordinal (0xFFFF then the number); an ordinal of the
  // predefined control classes is given as the class name.
  std::string name_or_ordinal() {
    const WORD first = word();
    if (first == 0) return {};
    if (first != 0xFFFF) {
      at_ -= 2;
      return text();
    }
    static const char* const kClasses[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
    const WORD ordinal = word();
    if (ordinal >= 0x80 && ordinal <= 0x85) return kClasses[ordinal - 0x80];
    return "#" + std::to_string(ordinal);
  }
  void align4() { at_ = (at_ + 3) & ~static_cast<std::size_t>(3); }
  void skip(std::size_t n) {
    if (at_ + n > size_) ok_ = false;
    at_ += n;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace

bool load_dialog_template(const std::string& exe_name, int id, DialogTemplate& out) {
  HMODULE module = LoadLibraryExA((own_folder() + exe_name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return false;
  bool ok = false;
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const auto* bytes = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
  if (bytes != nullptr) {
    TemplateReader r(bytes, SizeofResource(module, found));
    // Only the extended form (DIALOGEX) is read.
    if (r.word() == 1 && r.word() == 0xFFFF) {
      r.dword();  // help id
      out.ex_style = r.dword();
      out.style = r.dword();
      const int count = r.word();
      r.coordinate();
      r.coordinate();
      out.w = r.coordinate();
      out.h = r.coordinate();
      r.name_or_ordinal();  // menu
      r.name_or_ordinal();  // class
      out.caption = r.text();
      if (out.style & (DS_SETFONT | DS_SHELLFONT)) {
        out.point_size = r.word();
        r.word();  // weight
        r.word();  // italic, character set
        out.font = r.text();
      }
      for (int i = 0; i < count && r.ok(); ++i) {
        r.align4();
        TemplateItem item;
        r.dword();  // help id
        item.ex_style = r.dword();
        item.style = r.dword();
        item.x = r.coordinate();
        item.y = r.coordinate();
        item.w = r.coordinate();
        item.h = r.coordinate();
        item.id = static_cast<int>(static_cast<int32_t>(r.dword()));
        item.window_class = r.name_or_ordinal();
        item.text = r.name_or_ordinal();
        r.skip(r.word());
        out.items.push_back(item);
      }
      ok = r.ok();
    }
  }
  FreeLibrary(module);
  return ok;
}

}  // namespace krelvon::gui
