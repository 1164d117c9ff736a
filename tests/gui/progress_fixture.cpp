#include "tests/gui/progress_fixture.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "handlers/signatures.h"
#include "tools/samples.h"

namespace fs = std::filesystem;

namespace krelvon::gui {

std::string progress_host() { return build_path("tests/gui/krelvon-progress-host.exe"); }

SampleFolder::SampleFolder(const std::string& name) {
  path_ = "Q:\\" + name + "-" + std::to_string(GetCurrentProcessId());
  std::error_code ec;
  fs::remove_all(path_, ec);
  fs::create_directories(path_);
}

SampleFolder::~SampleFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void SampleFolder::write(const std::string& relative, const std::vector<unsigned char>& bytes) const {
  const fs::path p = *this / relative;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<std::streamsize>(bytes.size()));
}

namespace {
int smallest_record() {
  int smallest = 0;
  for (int r = 1; r < 3; ++r)
    if (samples::worm_file_length(r) < samples::worm_file_length(smallest)) smallest = r;
  return smallest;
}
}  // namespace

const char* SampleFolder::worm_name() { return kWormSignatures[smallest_record()].detection_name; }

std::vector<std::string> SampleFolder::write_worms(int n) const {
  const int smallest = smallest_record();
  const samples::Bytes worm = samples::make_worm_file(smallest, samples::worm_file_length(smallest));
  std::vector<std::string> names;
  for (int i = 1; i <= n; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "worm-%04d.exe", i);
    write(name, worm);
    names.emplace_back(name);
  }
  return names;
}

std::vector<std::string> statistics_block(int scanned, int infected, int disinfected, int renamed, int deleted) {
  std::vector<std::string> block;
  if (infected > 0) block.emplace_back(" ");
  block.emplace_back("Scanning statistics\t\t:");
  block.push_back("Total files scanned\t\t:  " + std::to_string(scanned));
  block.push_back("Total files infected\t\t:  " + std::to_string(infected));
  block.push_back("Total files disinfected\t:  " + std::to_string(disinfected));
  block.push_back("Total files renamed\t\t:  " + std::to_string(renamed));
  block.push_back("Total files deleted\t\t:  " + std::to_string(deleted));
  return block;
}

bool item_visible(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control != nullptr && (style(control) & WS_VISIBLE) != 0;
}

HWND find_dialog_with(DWORD pid, int id, const char* title) {
  for (HWND w : top_level_windows(pid))
    if (class_name(w) == "#32770" && text(w) == title && GetDlgItem(w, id) != nullptr) return w;
  return nullptr;
}

HWND wait_for_dialog_with(DWORD pid, int id, const char* title, int timeout_ms) {
  HWND found = nullptr;
  wait_for([&] { return (found = find_dialog_with(pid, id, title)) != nullptr; }, timeout_ms);
  return found;
}

namespace {

// A dialog template as it is stored in a program's resources.
struct TemplateItem {
  DWORD style = 0, ex_style = 0;
  int x = 0, y = 0, w = 0, h = 0;
  int id = 0;
  std::string window_class;  // "Button", "Static", "ListBox", ... for the predefined atoms too
  std::string text;
};
struct DialogTemplate {
  DWORD style = 0, ex_style = 0;
  int w = 0, h = 0;
  int point_size = 0;
  std::string font;
  std::string caption;
  std::vector<TemplateItem> items;
};

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

bool load_dialog_template(const std::string& exe, int id, DialogTemplate& out) {
  HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
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

}  // namespace

void expect_template(int id, int w, int h, const std::vector<WantItem>& items) {
  DialogTemplate t;
  ASSERT_TRUE(load_dialog_template(progress_host(), id, t)) << "template " << id;
  EXPECT_EQ(t.style & (WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT),
            static_cast<DWORD>(WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT));
  EXPECT_EQ(t.style & WS_SYSMENU, 0u);
  EXPECT_EQ(t.font, "MS Sans Serif");
  EXPECT_EQ(t.point_size, 8);
  EXPECT_EQ(t.w, w);
  EXPECT_EQ(t.h, h);
  ASSERT_EQ(t.items.size(), items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const TemplateItem& got = t.items[i];
    const WantItem& want = items[i];
    SCOPED_TRACE("template " + std::to_string(id) + ", control " + std::to_string(want.id));
    EXPECT_EQ(got.id & 0xFFFF, want.id & 0xFFFF);
    EXPECT_STRCASEEQ(got.window_class.c_str(), want.window_class);
    EXPECT_EQ(got.style & want.style, want.style);
    EXPECT_EQ(got.style & want.not_style, 0u);
    EXPECT_EQ(got.ex_style & want.ex_style, want.ex_style);
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.w, want.w);
    EXPECT_EQ(got.h, want.h);
    EXPECT_EQ(got.text, want.text);
  }
}

void ProgressTest::start_host(const char* handling, const std::string& folder) {
  host = &start("\"" + progress_host() + "\" " + handling + " \"" + folder + "\"");
  ASSERT_TRUE(host->started());
  dialog = wait_for_dialog_with(host->pid(), 1001);
  ASSERT_NE(dialog, nullptr) << "no progress dialog";
}

std::vector<std::string> ProgressTest::wait_finished(int timeout_ms) {
  const ULONGLONG begin = GetTickCount64();
  EXPECT_TRUE(wait_for(
      [&] {
        if (!item_visible(dialog, 1003)) return false;
        const std::string status = item_text(dialog, 1004);
        return status == "Scanning completed" || status == "Scanning terminated";
      },
      timeout_ms))
      << "the scan did not end";
  std::printf("scan ended after %.1f s\n", static_cast<double>(GetTickCount64() - begin) / 1000.0);
  return list_lines(list());
}

}  // namespace krelvon::gui
