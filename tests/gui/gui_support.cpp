#include "tests/gui/gui_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <type_traits>
#include <utility>

namespace krelvon::gui {

// --- Paths ----------------------------------------------------------------

std::string build_root() {
  const char* root = std::getenv("KRELVON_GUI_ROOT");
  std::string out = root != nullptr && root[0] != '\0' ? root : "K:\\";
  if (out.back() != '\\') out += '\\';
  return out;
}

std::string build_path(const std::string& relative) {
  std::string out = build_root() + relative;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

// KRELVON_GUI_PROGRAM: another build's krelvon.exe (the i686 one, run in
// the 64-bit prefix's 32-bit side), by its Windows path.
std::string krelvon_exe() {
  const char* program = std::getenv("KRELVON_GUI_PROGRAM");
  return program != nullptr && program[0] != '\0' ? program : build_path("ui/krelvon.exe");
}

bool krelvon_built() { return GetFileAttributesA(krelvon_exe().c_str()) != INVALID_FILE_ATTRIBUTES; }

// --- Programs -------------------------------------------------------------

Program::Program(const std::string& command_line) {
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    ADD_FAILURE() << "cannot start " << command_line << " (error " << GetLastError() << ")";
    return;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
}

Program::~Program() {
  kill();
  if (process_ != nullptr) CloseHandle(process_);
}

bool Program::wait_exit(int timeout_ms) {
  return process_ != nullptr &&
         WaitForSingleObject(process_, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

bool Program::running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

DWORD Program::exit_code() const {
  DWORD code = STILL_ACTIVE;
  if (process_ != nullptr) GetExitCodeProcess(process_, &code);
  return code;
}

void Program::kill() {
  if (!running()) return;
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, 5000);
}

// --- Windows --------------------------------------------------------------

namespace {

struct WindowQuery {
  DWORD pid;
  const char* title;
  const char* cls;
  HWND except;
  std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND window, LPARAM param) {
  auto* query = reinterpret_cast<WindowQuery*>(param);
  if (!IsWindowVisible(window) || window == query->except) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (query->pid != 0 && pid != query->pid) return TRUE;
  if (query->cls != nullptr && class_name(window) != query->cls) return TRUE;
  if (query->title != nullptr && text(window) != query->title) return TRUE;
  query->found.push_back(window);
  return TRUE;
}

std::vector<HWND> query(DWORD pid, const char* title, const char* cls, HWND except) {
  WindowQuery q{pid, title, cls, except, {}};
  EnumWindows(&collect, reinterpret_cast<LPARAM>(&q));
  return q.found;
}

}  // namespace

std::vector<HWND> top_level_windows(DWORD pid) { return query(pid, nullptr, nullptr, nullptr); }

HWND find_window(DWORD pid, const char* title, const char* cls) {
  const auto found = query(pid, title, cls, nullptr);
  return found.empty() ? nullptr : found.front();
}

HWND wait_for_window(DWORD pid, const char* title, const char* cls, int timeout_ms) {
  return wait_for_new_window(pid, title, nullptr, cls, timeout_ms);
}

HWND wait_for_new_window(DWORD pid, const char* title, HWND except, const char* cls,
                         int timeout_ms) {
  HWND window = nullptr;
  wait_for(
      [&] {
        const auto found = query(pid, title, cls, except);
        if (!found.empty()) window = found.front();
        return window != nullptr;
      },
      timeout_ms);
  if (window != nullptr) settle(window);
  return window;
}

bool wait_until_gone(HWND window, int timeout_ms) {
  return wait_for([&] { return !IsWindow(window) || !IsWindowVisible(window); }, timeout_ms);
}

std::string text(HWND window) {
  char buffer[4096] = {};
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                           SMTO_ABORTIFHUNG, 5000, &copied))
    return {};
  return std::string(buffer, copied);
}

std::string item_text(HWND dialog, int id) {
  char buffer[4096] = {};
  const UINT copied = GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
  return std::string(buffer, copied);
}

std::string class_name(HWND window) {
  char buffer[256] = {};
  const int length = GetClassNameA(window, buffer, sizeof buffer);
  return std::string(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

std::vector<std::string> list_lines(HWND list) {
  std::vector<std::string> lines;
  const auto send = [&](UINT message, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(list, message, wparam, lparam, SMTO_ABORTIFHUNG, 10000, &result);
    return static_cast<LRESULT>(result);
  };
  const LRESULT count = send(LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    // An item gone meanwhile reads as an empty line, so indices stay put.
    const LRESULT length = send(LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
    std::vector<wchar_t> wide(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    if (length > 0) send(LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide.data()));
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
    std::string line(static_cast<size_t>(bytes > 0 ? bytes : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, line.data(), bytes, nullptr, nullptr);
    line.resize(std::strlen(line.c_str()));
    lines.push_back(std::move(line));
  }
  return lines;
}

LONG style(HWND window) { return GetWindowLongA(window, GWL_STYLE); }
LONG ex_style(HWND window) { return GetWindowLongA(window, GWL_EXSTYLE); }

std::vector<HWND> children(HWND window) {
  std::vector<HWND> out;
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    out.push_back(child);
  return out;
}

void settle(HWND window) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
  Sleep(300);
  SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
}

void click(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  ASSERT_NE(button, nullptr) << "no control " << id;
  PostMessageA(button, BM_CLICK, 0, 0);
}

// --- Geometry -------------------------------------------------------------

RECT control_rect(HWND dialog, int id) {
  RECT rect{};
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

namespace {

INT_PTR CALLBACK plain_dialog(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

// An invisible dialog with the program's font, made once, for MapDialogRect.
HWND unit_dialog() {
  static HWND dialog = [] {
    // DLGTEMPLATE, then menu, class and title (all empty), point size and
    // face name, each part WORD-aligned; no controls.
    alignas(4) static WORD buffer[64] = {};
    auto* tmpl = reinterpret_cast<DLGTEMPLATE*>(buffer);
    tmpl->style = DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION;
    tmpl->cx = 100;
    tmpl->cy = 100;
    WORD* p = reinterpret_cast<WORD*>(tmpl + 1);
    *p++ = 0;  // menu
    *p++ = 0;  // class
    *p++ = 0;  // title
    *p++ = 8;  // point size
    for (const char* face = "MS Sans Serif"; *face != '\0'; ++face) *p++ = static_cast<WORD>(*face);
    *p++ = 0;
    return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), tmpl, nullptr, &plain_dialog, 0);
  }();
  return dialog;
}

}  // namespace

RECT dialog_units(int x, int y, int w, int h) {
  // The dialog manager turns position and size into pixels separately, so
  // the size goes through MapDialogRect as the second corner.
  RECT rect{x, y, w, h};
  MapDialogRect(unit_dialog(), &rect);
  return {rect.left, rect.top, rect.left + rect.right, rect.top + rect.bottom};
}

SIZE client_size(HWND window) {
  RECT rect{};
  GetClientRect(window, &rect);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

POINT centre(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// --- Pointer --------------------------------------------------------------

void move_pointer(POINT screen) {
  SetCursorPos(screen.x, screen.y);
  // A real move as well, so the window under the pointer gets WM_MOUSEMOVE.
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dx = static_cast<LONG>(screen.x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1));
  input.mi.dy = static_cast<LONG>(screen.y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1));
  input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &input, sizeof input);
  Sleep(100);
}

void click_pointer(POINT screen) {
  move_pointer(screen);
  INPUT inputs[2] = {};
  inputs[0].type = INPUT_MOUSE;
  inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  inputs[1].type = INPUT_MOUSE;
  inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, inputs, sizeof inputs[0]);
  Sleep(100);
}

void park_pointer() {
  move_pointer({GetSystemMetrics(SM_CXSCREEN) - 2, GetSystemMetrics(SM_CYSCREEN) - 2});
}

// --- Pixels and screenshots -----------------------------------------------

int Image::count(COLORREF colour) const {
  int n = 0;
  for (COLORREF c : pixels) n += c == colour ? 1 : 0;
  return n;
}

int Image::longest_run(COLORREF colour) const {
  int best = 0;
  for (int y = 0; y < height; ++y) {
    int run = 0;
    for (int x = 0; x < width; ++x) {
      run = at(x, y) == colour ? run + 1 : 0;
      if (run > best) best = run;
    }
  }
  return best;
}

Image capture(const RECT& screen) {
  Image image;
  image.width = screen.right - screen.left;
  image.height = screen.bottom - screen.top;
  if (image.width <= 0 || image.height <= 0) return {};
  HDC screen_dc = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen_dc);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = image.width;
  info.bmiHeader.biHeight = -image.height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, image.width, image.height, screen_dc, screen.left, screen.top, SRCCOPY);
  GdiFlush();
  image.pixels.resize(static_cast<size_t>(image.width * image.height));
  const auto* bgra = static_cast<const unsigned char*>(bits);
  for (size_t i = 0; i < image.pixels.size(); ++i)
    image.pixels[i] = RGB(bgra[i * 4 + 2], bgra[i * 4 + 1], bgra[i * 4]);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen_dc);
  return image;
}

Image capture(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return capture(rect);
}

namespace {

unsigned long crc32(const unsigned char* data, size_t size, unsigned long crc = 0) {
  static unsigned long table[256];
  if (table[1] == 0) {
    for (unsigned long n = 0; n < 256; ++n) {
      unsigned long c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320UL ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
  }
  crc ^= 0xFFFFFFFFUL;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFUL;
}

void put32(std::string& out, unsigned long value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

void chunk(std::string& out, const char* type, const std::string& data) {
  put32(out, data.size());
  std::string body = type + data;
  out += body;
  put32(out, crc32(reinterpret_cast<const unsigned char*>(body.data()), body.size()));
}

}  // namespace

bool save_png(const Image& image, const std::string& path) {
  // Filter byte 0 and RGB for every row, kept in stored (uncompressed)
  // deflate blocks: no compression library needed.
  std::string raw;
  for (int y = 0; y < image.height; ++y) {
    raw += '\0';
    for (int x = 0; x < image.width; ++x) {
      const COLORREF c = image.at(x, y);
      raw += static_cast<char>(GetRValue(c));
      raw += static_cast<char>(GetGValue(c));
      raw += static_cast<char>(GetBValue(c));
    }
  }
  std::string zlib = "\x78\x01";
  for (size_t at = 0; at < raw.size() || at == 0;) {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    const bool last = at + n >= raw.size();
    zlib += static_cast<char>(last ? 1 : 0);
    zlib += static_cast<char>(n & 0xFF);
    zlib += static_cast<char>(n >> 8);
    zlib += static_cast<char>(~n & 0xFF);
    zlib += static_cast<char>((~n >> 8) & 0xFF);
    zlib.append(raw, at, n);
    at += n;
    if (last) break;
  }
  unsigned long a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  put32(zlib, (b << 16) | a);

  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  put32(header, static_cast<unsigned long>(image.width));
  put32(header, static_cast<unsigned long>(image.height));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB
  chunk(png, "IHDR", header);
  chunk(png, "IDAT", zlib);
  chunk(png, "IEND", "");
  std::ofstream file(path, std::ios::binary);
  file.write(png.data(), static_cast<std::streamsize>(png.size()));
  return static_cast<bool>(file);
}

std::string screenshot(HWND window, const std::string& label) {
  // KRELVON_GUI_SCREENSHOTS: another folder (a Windows path), for the runs
  // of another program (the i686 one, per Windows version).
  const char* named = std::getenv("KRELVON_GUI_SCREENSHOTS");
  const std::string folder = named != nullptr && named[0] != '\0' ? named : build_path("gui-screenshots");
  CreateDirectoryA(folder.c_str(), nullptr);
  std::string name = "screenshot";
  if (const auto* test = ::testing::UnitTest::GetInstance()->current_test_info())
    name = std::string(test->test_suite_name()) + "." + test->name();
  for (char& c : name)
    if (c == '/') c = '_';
  const std::string path = folder + "\\" + name + "-" + label + ".png";
  settle(window);
  EXPECT_TRUE(save_png(capture(window), path)) << path;
  return path;
}

// --- Web address association ----------------------------------------------

namespace {
constexpr char kHttpOpenKey[] = "http\\shell\\open\\command";
}

HttpOpenCommand::HttpOpenCommand(const std::string& command) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kHttpOpenKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot open HKCR\\" << kHttpOpenKey;
    return;
  }
  char old[1024] = {};
  DWORD size = sizeof old - 1;
  had_old_ = RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(old), &size) ==
             ERROR_SUCCESS;
  old_ = old;
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                 static_cast<DWORD>(command.size() + 1));
  RegCloseKey(key);
  // A DDE route would be tried before the command.
  RegDeleteKeyA(HKEY_CLASSES_ROOT, "http\\shell\\open\\ddeexec\\application");
  RegDeleteKeyA(HKEY_CLASSES_ROOT, "http\\shell\\open\\ddeexec\\topic");
  RegDeleteKeyA(HKEY_CLASSES_ROOT, "http\\shell\\open\\ddeexec");
}

HttpOpenCommand::~HttpOpenCommand() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kHttpOpenKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  if (had_old_)
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(old_.c_str()),
                   static_cast<DWORD>(old_.size() + 1));
  else
    RegDeleteValueA(key, nullptr);
  RegCloseKey(key);
}

UrlRecorder::UrlRecorder() {
  char folder[MAX_PATH] = {};
  GetTempPathA(sizeof folder, folder);
  char name[MAX_PATH] = {};
  GetTempFileNameA(folder, "url", 0, name);
  file_ = name;
  DeleteFileA(file_.c_str());
}

UrlRecorder::~UrlRecorder() { DeleteFileA(file_.c_str()); }

std::string UrlRecorder::command() const {
  return "\"" + build_path("tests/gui/krelvon_url_recorder.exe") + "\" \"" + file_ + "\" \"%1\"";
}

std::vector<std::string> UrlRecorder::addresses(int timeout_ms) const {
  wait_for([&] { return GetFileAttributesA(file_.c_str()) != INVALID_FILE_ATTRIBUTES; }, timeout_ms);
  Sleep(100);  // the recorder writes and closes at once
  std::vector<std::string> out;
  std::ifstream in(file_);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// --- Tree views of another process -----------------------------------------

RemoteTree::RemoteTree(HWND tree) : tree_(tree) {
  DWORD pid = 0;
  GetWindowThreadProcessId(tree, &pid);
  process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION, FALSE,
                         pid);
  if (process_ != nullptr)
    remote_ = VirtualAllocEx(process_, nullptr, kBuffer, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  // A 32-bit program (the i686 build, on the 64-bit prefix's 32-bit side)
  // reads the item in its own layout.
  BOOL wow64 = FALSE;
  narrow_ = sizeof(void*) == 8 && process_ != nullptr && IsWow64Process(process_, &wow64) && wow64;
}

RemoteTree::~RemoteTree() {
  if (remote_ != nullptr) VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
  if (process_ != nullptr) CloseHandle(process_);
}

LRESULT RemoteTree::send(UINT message, WPARAM wparam, LPARAM lparam) const {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(tree_, message, wparam, lparam, SMTO_ABORTIFHUNG, 30000, &result);
  return static_cast<LRESULT>(result);
}

std::vector<HTREEITEM> RemoteTree::children(HTREEITEM parent) const {
  std::vector<HTREEITEM> out;
  auto child = reinterpret_cast<HTREEITEM>(
      send(TVM_GETNEXTITEM, parent == nullptr ? TVGN_ROOT : TVGN_CHILD, reinterpret_cast<LPARAM>(parent)));
  while (child != nullptr) {
    out.push_back(child);
    child = reinterpret_cast<HTREEITEM>(send(TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(child)));
  }
  return out;
}

namespace {
// TVITEMA as a 32-bit program lays it out (its pointers and handles 32 bits).
struct TvItem32 {
  UINT mask;
  std::uint32_t hItem;
  UINT state, stateMask;
  std::uint32_t pszText;
  int cchTextMax;
  int iImage, iSelectedImage, cChildren;
  std::uint32_t lParam;
};
template <typename Field, typename Value>
void put(Field& field, Value* value) {
  if constexpr (std::is_pointer_v<Field>) {
    field = reinterpret_cast<Field>(value);
  } else {
    field = static_cast<Field>(reinterpret_cast<std::uintptr_t>(value));
  }
}
}  // namespace

template <typename Layout>
RemoteTree::Item RemoteTree::get_as(HTREEITEM handle) const {
  Item out;
  Layout item{};
  item.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_CHILDREN | TVIF_IMAGE;
  put(item.hItem, handle);
  char* text = static_cast<char*>(remote_) + kTextOffset;
  put(item.pszText, text);
  item.cchTextMax = MAX_PATH;
  const char empty[1] = {};
  if (!WriteProcessMemory(process_, remote_, &item, sizeof item, nullptr) ||
      !WriteProcessMemory(process_, text, empty, 1, nullptr))
    return out;
  if (!send(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote_))) return out;
  char label[MAX_PATH + 1] = {};
  if (!ReadProcessMemory(process_, remote_, &item, sizeof item, nullptr) ||
      !ReadProcessMemory(process_, text, label, MAX_PATH, nullptr))
    return out;
  out.label = label;
  out.children = item.cChildren;
  out.image = item.iImage;
  return out;
}

RemoteTree::Item RemoteTree::get(HTREEITEM handle) const {
  return narrow_ ? get_as<TvItem32>(handle) : get_as<TVITEMA>(handle);
}

void RemoteTree::expand(HTREEITEM item) const { send(TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item)); }
void RemoteTree::collapse(HTREEITEM item) const { send(TVM_EXPAND, TVE_COLLAPSE, reinterpret_cast<LPARAM>(item)); }
bool RemoteTree::select(HTREEITEM item) const {
  return send(TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)) != 0;
}
int RemoteTree::count() const { return static_cast<int>(send(TVM_GETCOUNT, 0, 0)); }

HTREEITEM RemoteTree::child_labelled(HTREEITEM parent, const std::string& label) const {
  for (HTREEITEM child : children(parent))
    if (get(child).label == label) return child;
  return nullptr;
}

HTREEITEM RemoteTree::q_drive() const {
  for (HTREEITEM top : children(nullptr)) {
    if (get(top).children == 0) continue;
    expand(top);
    for (HTREEITEM child : children(top))
      if (get(child).label.find("Q:") != std::string::npos) return child;
  }
  return nullptr;
}

void select_q_folder(HWND tree_window, const std::vector<std::string>& labels) {
  RemoteTree tree(tree_window);
  ASSERT_TRUE(tree.ok());
  HTREEITEM item = tree.q_drive();
  ASSERT_NE(item, nullptr) << "no drive Q: in the tree";
  for (const std::string& label : labels) {
    tree.expand(item);
    item = tree.child_labelled(item, label);
    ASSERT_NE(item, nullptr) << "no " << label << " in the tree";
  }
  ASSERT_TRUE(tree.select(item));
}

// --- Fixture --------------------------------------------------------------

void GuiTest::SetUp() { park_pointer(); }

void GuiTest::TearDown() {
  for (auto& program : programs_) program->kill();
  programs_.clear();
}

Program& GuiTest::start(const std::string& command_line) {
  programs_.push_back(std::make_unique<Program>(command_line));
  return *programs_.back();
}

HWND GuiTest::start_krelvon(Program** program) {
  Program& started = start(krelvon_command());
  if (program != nullptr) *program = &started;
  HWND main = wait_for_window(started.pid(), "Krelvon Ver 1.6");
  EXPECT_NE(main, nullptr) << "no main dialog";
  return main;
}

}  // namespace krelvon::gui
