#include "tests/gui/progress_fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "handlers/signatures.h"
#include "tools/samples.h"

namespace fs = std::filesystem;

namespace krelvon::gui {

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

void ProgressTest::start(const char* handling, const std::string& folder) {
  host = std::make_unique<Program>("krelvon-progress-host.exe", std::string(handling) + " \"" + folder + "\"");
  ASSERT_TRUE(host->started());
  dialog = wait_dialog(host->pid(), 1001, nullptr, 30000);
  ASSERT_NE(dialog, nullptr) << "no progress dialog";
}

std::vector<std::string> ProgressTest::wait_finished(int timeout_ms) {
  const ULONGLONG begin = GetTickCount64();
  EXPECT_TRUE(wait_until(
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

void expect_template(int id, int w, int h, const std::vector<WantItem>& items) {
  DialogTemplate t;
  ASSERT_TRUE(load_dialog_template("krelvon-progress-host.exe", id, t)) << "template " << id;
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

std::string box_text(HWND box) { return item_text(box, 0xFFFF); }

}  // namespace krelvon::gui
