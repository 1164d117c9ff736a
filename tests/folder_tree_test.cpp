// The folder tree against the real shell namespace and a real tree view
// control: name conversion for the narrow file functions, the selected
// folder's path, lazy listing, sorting, icons and the release of every item.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui/setup/folder_tree.h"

using krelvon::ui::FolderNode;
using krelvon::ui::FolderTree;

namespace {

// A shell allocator that counts what is still allocated, so a test sees
// whether a conversion leaves anything behind.
class CountingMalloc : public IMalloc {
 public:
  int outstanding = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  void* STDMETHODCALLTYPE Alloc(SIZE_T size) override {
    ++outstanding;
    return CoTaskMemAlloc(size);
  }
  void* STDMETHODCALLTYPE Realloc(void* block, SIZE_T size) override { return CoTaskMemRealloc(block, size); }
  void STDMETHODCALLTYPE Free(void* block) override {
    if (block != nullptr) --outstanding;
    CoTaskMemFree(block);
  }
  SIZE_T STDMETHODCALLTYPE GetSize(void*) override { return 0; }
  int STDMETHODCALLTYPE DidAlloc(void*) override { return -1; }
  void STDMETHODCALLTYPE HeapMinimize() override {}
};

STRRET wide_name(CountingMalloc& allocator, const std::wstring& text) {
  STRRET name{};
  name.uType = STRRET_WSTR;
  const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
  name.pOleStr = static_cast<LPWSTR>(allocator.Alloc(bytes));
  std::memcpy(name.pOleStr, text.c_str(), bytes);
  return name;
}

std::string ansi(const std::wstring& text) {
  char out[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out, MAX_PATH, nullptr, nullptr);
  return out;
}

bool is_folder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A folder on drive Q: (a fixed drive of the test prefix) with a few
// subfolders, removed afterwards.
class QFolder {
 public:
  explicit QFolder(const std::wstring& name) : root_(L"Q:\\" + name) { CreateDirectoryW(root_.c_str(), nullptr); }
  ~QFolder() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      SetFileAttributesW(it->c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!RemoveDirectoryW(it->c_str())) DeleteFileW(it->c_str());
    }
    RemoveDirectoryW(root_.c_str());
  }
  std::wstring mkdir(const std::wstring& relative, DWORD attributes = 0) {
    const std::wstring path = root_ + L"\\" + relative;
    CreateDirectoryW(path.c_str(), nullptr);
    if (attributes != 0) SetFileAttributesW(path.c_str(), attributes);
    made_.push_back(path);
    return path;
  }
  void file(const std::wstring& relative) {
    const std::wstring path = root_ + L"\\" + relative;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(h);
    made_.push_back(path);
  }
  const std::wstring& path() const { return root_; }

 private:
  std::wstring root_;
  std::vector<std::wstring> made_;
};

bool q_drive_present() { return GetDriveTypeA("Q:\\") == DRIVE_FIXED; }

// The parsing path of the shell item `path` (a real file-system path),
// through the desktop folder.
std::string parsing_path_through_shell(const std::wstring& path, CountingMalloc& allocator) {
  IShellFolder* desktop = nullptr;
  if (FAILED(SHGetDesktopFolder(&desktop))) return "<no desktop>";
  LPITEMIDLIST id = nullptr;
  std::wstring mutable_path = path;
  std::string result = "<not parsed>";
  if (SUCCEEDED(desktop->ParseDisplayName(nullptr, nullptr, mutable_path.data(), nullptr, &id, nullptr))) {
    STRRET name{};
    if (SUCCEEDED(desktop->GetDisplayNameOf(id, SHGDN_FORPARSING, &name))) {
      char* text = krelvon::ui::convert_shell_name(&allocator, name, id, true);
      result = text != nullptr ? text : "<no conversion>";
      if (text != nullptr) allocator.Free(text);
    }
    CoTaskMemFree(id);
  }
  desktop->Release();
  return result;
}

TEST(FolderTreeNames, WideNameInTheAnsiCodePageReachesTheFolder) {
  if (!q_drive_present()) GTEST_SKIP() << "no drive Q: in this prefix";
  CoInitialize(nullptr);
  const std::wstring umlaut = L"M\u00fcller";
  QFolder folder(L"names-" + std::to_wstring(GetCurrentProcessId()));
  const std::wstring target = folder.mkdir(umlaut);
  CountingMalloc allocator;
  const std::string path = parsing_path_through_shell(target, allocator);
  EXPECT_EQ(path, ansi(target));
  // The narrow file functions find it: the scan would walk this folder.
  EXPECT_TRUE(is_folder(path)) << path;
  CoUninitialize();
}

TEST(FolderTreeNames, NameOutsideTheCodePageGoesThroughTheShortNameOrFails) {
  if (!q_drive_present()) GTEST_SKIP() << "no drive Q: in this prefix";
  if (GetACP() == CP_UTF8) GTEST_SKIP() << "the UTF-8 code page holds every name";
  CoInitialize(nullptr);
  QFolder folder(L"names-" + std::to_wstring(GetCurrentProcessId()));
  const std::wstring target = folder.mkdir(L"\u4e2d\u6587\u0416");
  CountingMalloc allocator;
  STRRET name = wide_name(allocator, target);
  char* path = krelvon::ui::convert_shell_name(&allocator, name, nullptr, true);
  if (path != nullptr) {
    // Never a look-alike with '?' in it: the short name of the same folder.
    EXPECT_EQ(std::string(path).find('?'), std::string::npos) << path;
    EXPECT_TRUE(is_folder(path)) << path;
    allocator.Free(path);
  }
  // As a label the same name is shown with the code page's default character.
  name = wide_name(allocator, L"\u4e2d");
  char* label = krelvon::ui::convert_shell_name(&allocator, name, nullptr, false);
  ASSERT_NE(label, nullptr);
  EXPECT_STRNE(label, "");
  allocator.Free(label);
  EXPECT_EQ(allocator.outstanding, 0);
  CoUninitialize();
}

TEST(FolderTreeNames, EveryKindOfShellNameAndNothingLeftAllocated) {
  CountingMalloc allocator;
  STRRET name = wide_name(allocator, L"Documents");
  char* text = krelvon::ui::convert_shell_name(&allocator, name, nullptr, false);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "Documents");
  // The wide text of the shell was freed by the conversion.
  EXPECT_EQ(allocator.outstanding, 1);
  EXPECT_EQ(name.pOleStr, nullptr);
  allocator.Free(text);

  STRRET narrow{};
  narrow.uType = STRRET_CSTR;
  std::strcpy(narrow.cStr, "C:\\WINDOWS");
  text = krelvon::ui::convert_shell_name(&allocator, narrow, nullptr, true);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "C:\\WINDOWS");
  allocator.Free(text);

  // A name at an offset inside the item identifier.
  const char id_bytes[] = "\x0c\x00" "xxxxfolder\0\0\0";
  STRRET offset{};
  offset.uType = STRRET_OFFSET;
  offset.uOffset = 6;
  text = krelvon::ui::convert_shell_name(&allocator, offset, reinterpret_cast<LPCITEMIDLIST>(id_bytes), false);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "folder");
  allocator.Free(text);

  STRRET unknown{};
  unknown.uType = 7;
  EXPECT_EQ(krelvon::ui::convert_shell_name(&allocator, unknown, nullptr, false), nullptr);
  EXPECT_EQ(allocator.outstanding, 0);
}

TEST(FolderTreePaths, OneTrailingBackslashRemovedAndNothingCut) {
  char out[MAX_PATH];
  EXPECT_TRUE(krelvon::ui::parsing_path_to_scan_path("C:\\", out, MAX_PATH));
  EXPECT_STREQ(out, "C:");
  EXPECT_TRUE(krelvon::ui::parsing_path_to_scan_path("C:\\WINDOWS", out, MAX_PATH));
  EXPECT_STREQ(out, "C:\\WINDOWS");
  EXPECT_TRUE(krelvon::ui::parsing_path_to_scan_path("C:\\WINDOWS\\\\", out, MAX_PATH));
  EXPECT_STREQ(out, "C:\\WINDOWS\\");
  // A non-file-system item's parsing name passes unchanged.
  const char* computer = "::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
  EXPECT_TRUE(krelvon::ui::parsing_path_to_scan_path(computer, out, MAX_PATH));
  EXPECT_STREQ(out, computer);
  // 259 characters fit with the terminator, 260 do not: a cut path would
  // name another folder, so none is given.
  const std::string fits = "Q:\\" + std::string(256, 'a');
  EXPECT_TRUE(krelvon::ui::parsing_path_to_scan_path(fits.c_str(), out, MAX_PATH));
  EXPECT_EQ(std::string(out), fits);
  EXPECT_TRUE(krelvon::ui::parsing_path_to_scan_path((fits + "\\").c_str(), out, MAX_PATH));
  EXPECT_EQ(std::string(out), fits);
  EXPECT_FALSE(krelvon::ui::parsing_path_to_scan_path((fits + "b").c_str(), out, MAX_PATH));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(krelvon::ui::parsing_path_to_scan_path("", out, MAX_PATH));
}

// A folder whose one item has an icon extractor that gives two fresh icons,
// so a test can see which of them the icon step keeps.
class IconFolder : public IShellFolder, public IExtractIconA {
 public:
  HICON large = nullptr;
  HICON small = nullptr;
  HRESULT extract_answer = S_OK;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE ParseDisplayName(HWND, LPBC, LPOLESTR, ULONG*, LPITEMIDLIST*, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumObjects(HWND, SHCONTF, IEnumIDList**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BindToObject(LPCITEMIDLIST, LPBC, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BindToStorage(LPCITEMIDLIST, LPBC, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CompareIDs(LPARAM, LPCITEMIDLIST, LPCITEMIDLIST) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateViewObject(HWND, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAttributesOf(UINT, LPCITEMIDLIST*, SFGAOF*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetUIObjectOf(HWND, UINT, LPCITEMIDLIST*, REFIID riid, UINT*, void** out) override {
    if (!IsEqualIID(riid, IID_IExtractIconA)) return E_NOINTERFACE;
    *out = static_cast<IExtractIconA*>(this);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayNameOf(LPCITEMIDLIST, SHGDNF, STRRET*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetNameOf(HWND, LPCITEMIDLIST, LPCOLESTR, SHGDNF, LPITEMIDLIST*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIconLocation(UINT, PSTR file, UINT, int* index, UINT* flags) override {
    std::strcpy(file, "shell32.dll");
    *index = 3;
    *flags = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Extract(PCSTR, UINT, HICON* large_out, HICON* small_out, UINT) override {
    large = *large_out = LoadIconA(nullptr, IDI_APPLICATION) ? CopyIcon(LoadIconA(nullptr, IDI_APPLICATION)) : nullptr;
    small = *small_out = CopyIcon(LoadIconA(nullptr, IDI_APPLICATION));
    return extract_answer;
  }
};

bool icon_alive(HICON icon) {
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) return false;
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  return true;
}

TEST(FolderTreeIcons, KeepsTheLargeIconAndDestroysTheSmallOne) {
  IconFolder folder;
  const BYTE id_bytes[4] = {};
  const auto* id = reinterpret_cast<LPCITEMIDLIST>(id_bytes);
  HICON kept = krelvon::ui::item_icon(&folder, id);
  ASSERT_NE(folder.large, nullptr);
  ASSERT_NE(folder.small, nullptr);
  EXPECT_EQ(kept, folder.large);
  EXPECT_TRUE(icon_alive(folder.large));
  EXPECT_FALSE(icon_alive(folder.small));
  DestroyIcon(kept);

  // Any answer but S_OK gives no icon, and neither handle outlives it.
  folder.extract_answer = S_FALSE;
  EXPECT_EQ(krelvon::ui::item_icon(&folder, id), nullptr);
  EXPECT_FALSE(icon_alive(folder.large));
  EXPECT_FALSE(icon_alive(folder.small));
}

// A window holding a real tree view control whose notifications reach a
// FolderTree, as in the dialog.
class TreeWindow {
 public:
  TreeWindow() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &TreeWindow::proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "KrelvonTreeTestWindow";
    RegisterClassA(&window_class);
    parent_ = CreateWindowA("KrelvonTreeTestWindow", "tree", WS_OVERLAPPEDWINDOW, 0, 0, 400, 400, nullptr,
                            nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(parent_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&tree));
    hwnd = CreateWindowA(WC_TREEVIEWA, "", WS_CHILD | WS_VISIBLE | WS_BORDER | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT,
                         0, 0, 380, 380, parent_, reinterpret_cast<HMENU>(1005), GetModuleHandleA(nullptr), nullptr);
  }
  ~TreeWindow() {
    tree.destroy();
    DestroyWindow(parent_);
  }

  std::vector<HTREEITEM> children(HTREEITEM parent) const {
    std::vector<HTREEITEM> out;
    auto child = reinterpret_cast<HTREEITEM>(
        SendMessageA(hwnd, TVM_GETNEXTITEM, parent == nullptr ? TVGN_ROOT : TVGN_CHILD, reinterpret_cast<LPARAM>(parent)));
    while (child != nullptr) {
      out.push_back(child);
      child = reinterpret_cast<HTREEITEM>(SendMessageA(hwnd, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(child)));
    }
    return out;
  }
  TVITEMA get(HTREEITEM handle, char* label) const {
    TVITEMA item{};
    item.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_PARAM | TVIF_CHILDREN | TVIF_IMAGE;
    item.hItem = handle;
    item.pszText = label;
    item.cchTextMax = MAX_PATH;
    SendMessageA(hwnd, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return item;
  }
  std::string label(HTREEITEM handle) const {
    char text[MAX_PATH] = {};
    get(handle, text);
    return text;
  }
  std::string parsing_name(HTREEITEM handle) const {
    char text[MAX_PATH] = {};
    const auto* item = reinterpret_cast<const FolderNode*>(get(handle, text).lParam);
    STRRET name{};
    if (item == nullptr || FAILED(item->folder->GetDisplayNameOf(item->id, SHGDN_FORPARSING, &name))) return "";
    IMalloc* allocator = nullptr;
    SHGetMalloc(&allocator);
    char* path = krelvon::ui::convert_shell_name(allocator, name, item->id, true);
    std::string result = path != nullptr ? path : "";
    allocator->Free(path);
    allocator->Release();
    return result;
  }
  HTREEITEM find_child(HTREEITEM parent, const std::string& parsing) const {
    for (HTREEITEM child : children(parent))
      if (_stricmp(parsing_name(child).c_str(), parsing.c_str()) == 0) return child;
    return nullptr;
  }
  // Expands through the tree's own message, as a user's click would.
  HTREEITEM expand(HTREEITEM handle) const {
    SendMessageA(hwnd, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(handle));
    return handle;
  }

  FolderTree tree;
  HWND hwnd = nullptr;

 private:
  static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* tree = reinterpret_cast<FolderTree*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_NOTIFY && tree != nullptr) {
      const auto& change = *reinterpret_cast<const NMTREEVIEWA*>(lparam);
      if (change.hdr.code == TVN_ITEMEXPANDINGA || change.hdr.code == TVN_ITEMEXPANDINGW) tree->on_item_expanding(change);
      if (change.hdr.code == TVN_DELETEITEMA || change.hdr.code == TVN_DELETEITEMW) tree->on_delete_item(change);
      return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
  }
  HWND parent_ = nullptr;
};

// The tree item of drive Q:, found under the top-level item that lists the
// drives.
HTREEITEM find_q_drive(TreeWindow& window) {
  for (HTREEITEM top : window.children(nullptr)) {
    window.expand(top);
    if (HTREEITEM q = window.find_child(top, "Q:\\")) return q;
  }
  return nullptr;
}

TEST(FolderTreeControl, ListsFoldersLazilySortedOnceAndReleasesEverything) {
  if (!q_drive_present()) GTEST_SKIP() << "no drive Q: in this prefix";
  const int alive_before = krelvon::ui::folder_items_alive();
  {
    QFolder folder(L"tree-" + std::to_wstring(GetCurrentProcessId()));
    folder.mkdir(L"zeta");
    folder.mkdir(L"Alpha");
    folder.mkdir(L"mid", FILE_ATTRIBUTE_HIDDEN);
    folder.mkdir(L"M\u00fcller");
    folder.mkdir(L"zeta\\inner");
    folder.file(L"a-file.txt");

    TreeWindow window;
    ASSERT_TRUE(window.tree.create(window.hwnd));
    const std::vector<HTREEITEM> top = window.children(nullptr);
    ASSERT_FALSE(top.empty());
    // Lazy: before any expansion the top level has no children listed.
    for (HTREEITEM item : top) EXPECT_TRUE(window.children(item).empty());

    HTREEITEM q = find_q_drive(window);
    ASSERT_NE(q, nullptr);
    window.expand(q);
    const std::string own = "Q:\\tree-" + std::to_string(GetCurrentProcessId());
    HTREEITEM mine = window.find_child(q, own);
    ASSERT_NE(mine, nullptr);
    char label[MAX_PATH];
    EXPECT_EQ(window.get(mine, label).cChildren, 1);

    window.expand(mine);
    std::vector<std::string> labels;
    for (HTREEITEM child : window.children(mine)) labels.push_back(window.label(child));
    // Folders only, hidden ones included, sorted by label (the tree's own
    // order, case-insensitive).
    const std::vector<std::string> want{"Alpha", "mid", ansi(L"M\u00fcller"), "zeta"};
    EXPECT_EQ(labels, want);

    // An expand button exactly where the shell reports subfolders (Wine's
    // shell reports them for every folder on disk).
    for (HTREEITEM child : window.children(mine)) {
      const TVITEMA item = window.get(child, label);
      const auto* node = reinterpret_cast<const FolderNode*>(item.lParam);
      SFGAOF attributes = SFGAO_HASSUBFOLDER;
      LPCITEMIDLIST id = node->id;
      node->folder->GetAttributesOf(1, &id, &attributes);
      EXPECT_EQ(item.cChildren, (attributes & SFGAO_HASSUBFOLDER) != 0 ? 1 : 0) << label;
      if (std::string(label) == "zeta") {
        EXPECT_EQ(item.cChildren, 1);
      }
      // Each icon went into the image list and was destroyed.
      EXPECT_EQ(node->icon, nullptr);
    }

    // Collapsing and expanding again lists nothing twice.
    SendMessageA(window.hwnd, TVM_EXPAND, TVE_COLLAPSE, reinterpret_cast<LPARAM>(mine));
    window.expand(mine);
    EXPECT_EQ(window.children(mine).size(), want.size());

    // The selected folder's path reaches the folder through the narrow
    // file functions.
    char path[MAX_PATH];
    EXPECT_FALSE(window.tree.selected_path(path, MAX_PATH));
    HTREEITEM umlaut = window.children(mine)[2];
    SendMessageA(window.hwnd, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(umlaut));
    ASSERT_TRUE(window.tree.selected_path(path, MAX_PATH));
    EXPECT_EQ(std::string(path), own + "\\" + ansi(L"M\u00fcller"));
    EXPECT_TRUE(is_folder(path)) << path;
    // A drive loses its trailing backslash.
    SendMessageA(window.hwnd, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(q));
    ASSERT_TRUE(window.tree.selected_path(path, MAX_PATH));
    EXPECT_STREQ(path, "Q:");

    EXPECT_GT(krelvon::ui::folder_items_alive(), alive_before);
    window.tree.destroy();
    EXPECT_EQ(krelvon::ui::folder_items_alive(), alive_before);
  }
}

}  // namespace
