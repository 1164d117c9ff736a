#include "tests/support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace krelvon::test {

std::string native(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '/') c = kSep;
  return out;
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    char name[64];
    std::snprintf(name, sizeof name, "krelvon-%08x-%u", rd(), counter++);
    std::error_code ec;
    if (fs::create_directory(base / name, ec)) {
      path_ = (base / name).string();
      break;
    }
  }
  while (path_.size() > 3 && (path_.back() == '/' || path_.back() == '\\')) path_.pop_back();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files and folders must not keep the tree from going.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (!it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& relative) const {
  return path_ + kSep + native(relative);
}

std::string TempDir::mkdir(const std::string& relative) {
  const std::string p = *this / relative;
  fs::create_directories(p);
  return p;
}

std::string TempDir::write(const std::string& relative, const std::string& bytes) {
  const std::string p = *this / relative;
  const fs::path parent = fs::path(p).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return p;
}

std::string TempDir::write(const std::string& relative, const std::vector<unsigned char>& bytes) {
  return write(relative, std::string(bytes.begin(), bytes.end()));
}

namespace {

RecordingWindow* g_recorder = nullptr;
constexpr char kSinkClass[] = "KrelvonTestProgressSink";

std::deque<int>& scripted() {
  static std::deque<int> q;
  return q;
}

int next_answer() {
  if (scripted().empty()) return IDNO;
  const int a = scripted().front();
  scripted().pop_front();
  return a;
}

#ifdef _WIN32
// A real message box is shown on the virtual display; a hook answers it as
// soon as it is activated, reading its text first.
HHOOK g_hook = nullptr;

LRESULT CALLBACK cbt_hook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wparam);
    char cls[64] = {};
    GetClassNameA(box, cls, sizeof cls);
    if (std::string(cls) == "#32770") {
      char text[512] = {}, caption[256] = {};
      GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
      GetWindowTextA(box, caption, sizeof caption);
      HWND owner = GetWindow(box, GW_OWNER);
      asked_message_boxes().push_back(
          {text, caption, 0, owner != nullptr && owner == g_scan.progress_window});
      PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(next_answer()), 0);
    }
  }
  return CallNextHookEx(g_hook, code, wparam, lparam);
}
#else
int answer_box(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  asked_message_boxes().push_back(
      {text, caption, type, owner != nullptr && owner == g_scan.progress_window});
  return next_answer();
}
#endif

}  // namespace

std::vector<AskedBox>& asked_message_boxes() {
  static std::vector<AskedBox> v;
  return v;
}

void install_message_box_answerer() {
#ifdef _WIN32
  // Under Wine the desktop that top-level windows live on belongs to a helper
  // process started on demand and closed shortly after the last program
  // using it has ended; a program that starts while it is being closed or
  // restarted cannot create a window (a message box then fails at once).
  // Wait until a top-level window can be created, and keep that window for
  // the life of the process so the desktop stays open under it.
  static HWND anchor = nullptr;
  for (int attempt = 0; anchor == nullptr && attempt < 100; ++attempt) {
    anchor = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (anchor == nullptr) Sleep(100);
  }
  if (anchor == nullptr) std::fprintf(stderr, "no top-level window can be created: message boxes will fail\n");
  g_hook = SetWindowsHookExA(WH_CBT, cbt_hook, nullptr, GetCurrentThreadId());
#else
  posix_set_message_box_handler(answer_box);
#endif
}

void script_message_box_answers(std::vector<int> answers) {
  scripted().assign(answers.begin(), answers.end());
}

LRESULT CALLBACK RecordingWindow::proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (g_recorder && hwnd == g_recorder->hwnd_) {
    if (msg == WM_SETREDRAW) {
      g_recorder->lines.emplace_back(g_scan.line);
      g_recorder->findings.push_back(g_scan.finding);
      return 0;
    }
    if (msg == WM_ENABLE) {
      g_recorder->objects.emplace_back(g_scan.object);
      return 0;
    }
    if (msg >= WM_USER) g_recorder->dispatched.push_back(msg);
  }
  return DefWindowProcA(hwnd, msg, wparam, lparam);
}

RecordingWindow::RecordingWindow() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &RecordingWindow::proc;
    wc.lpszClassName = kSinkClass;
    registered = RegisterClassA(&wc) != 0;
  }
  g_recorder = this;
  hwnd_ = CreateWindowExA(0, kSinkClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

RecordingWindow::~RecordingWindow() {
  // Nothing posted for this window may reach the next test.
  MSG msg;
  for (int i = 0; i < 1000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
  }
  DestroyWindow(hwnd_);
  if (g_recorder == this) g_recorder = nullptr;
}

std::vector<SkippedEntry>& skipped_entries() {
  static std::vector<SkippedEntry> v;
  return v;
}

void ScanTest::SetUp() {
  reset_scan_context();
  skipped_entries().clear();
  set_skip_listener([](const char* path, const char* reason) { skipped_entries().push_back({path, reason}); });
  g_scan.memory_phase = false;
  window = new RecordingWindow;
  g_scan.progress_window = window->hwnd();
  asked_message_boxes().clear();
  script_message_box_answers({});
}

void ScanTest::TearDown() {
  set_skip_listener(nullptr);
  g_scan.progress_window = nullptr;
  delete window;
  window = nullptr;
}

}  // namespace krelvon::test
