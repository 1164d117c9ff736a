#include "ui/setup/folder_tree.h"

#include <cstring>
#include <cwchar>
#include <new>

namespace krelvon::ui {

namespace {

// Folder items alive, for the tests' leak checks.
int g_items_alive = 0;

// Allocates size bytes from the shell allocator and copies `text` (size - 1
// characters) with a terminator.
char* shell_copy(IMalloc* allocator, const char* text, std::size_t length) {
  auto* copy = static_cast<char*>(allocator->Alloc(length + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

// True when `text` in the ANSI code page reads back as exactly `wide`: no
// character became the default character or a best-fit look-alike. (The
// flag that asks WideCharToMultiByte for this, WC_NO_BEST_FIT_CHARS, is
// refused as an invalid flag before Windows 2000; the round trip works on
// every system.)
bool reads_back(IMalloc* allocator, const char* text, const wchar_t* wide) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 0) return false;
  auto* back = static_cast<wchar_t*>(allocator->Alloc(static_cast<SIZE_T>(length) * sizeof(wchar_t)));
  if (back == nullptr) return false;
  const auto count = static_cast<std::size_t>(length);  // with the terminator
  const bool same = MultiByteToWideChar(CP_ACP, 0, text, -1, back, length) == length &&
                    std::wcslen(wide) + 1 == count && std::memcmp(back, wide, count * sizeof(wchar_t)) == 0;
  allocator->Free(back);
  return same;
}

// The wide text in the ANSI code page, from the shell allocator. With
// `exact`, a character the code page cannot hold is a failure.
char* to_ansi(IMalloc* allocator, const wchar_t* wide, bool exact) {
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return nullptr;
  auto* text = static_cast<char*>(allocator->Alloc(static_cast<SIZE_T>(size) + 1));
  if (text == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, text, size, nullptr, nullptr) <= 0 ||
      (exact && !reads_back(allocator, text, wide))) {
    allocator->Free(text);
    return nullptr;
  }
  text[size] = '\0';
  return text;
}

// A path with a character the ANSI code page cannot hold, through its short
// name when the system gives one that the code page can hold. On the
// Windows 95 line GetShortPathNameW is a stub that fails: there the shell's
// names come from the narrow file system calls, so a name they cannot hold
// is not one a scan could walk either, and the path is refused.
char* to_ansi_path(IMalloc* allocator, const wchar_t* wide) {
  if (char* exact = to_ansi(allocator, wide, true)) return exact;
  wchar_t short_path[MAX_PATH];
  const DWORD length = GetShortPathNameW(wide, short_path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  return to_ansi(allocator, short_path, true);
}

// The wait cursor while a fill runs, restored on every way out.
class WaitCursor {
 public:
  WaitCursor() : previous_(SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)))) {}  // IDC_WAIT
  ~WaitCursor() { SetCursor(previous_); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HCURSOR previous_;
};

// True when folder reports every attribute of `wanted` for its item id.
bool has_attributes(IShellFolder* folder, LPCITEMIDLIST id, SFGAOF wanted) {
  SFGAOF attributes = wanted;
  return SUCCEEDED(folder->GetAttributesOf(1, &id, &attributes)) && (attributes & wanted) == wanted;
}

FolderNode* item_data(HWND tree, HTREEITEM handle) {
  TVITEMA item{};
  item.mask = TVIF_HANDLE | TVIF_PARAM;
  item.hItem = handle;
  if (!SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return nullptr;
  return reinterpret_cast<FolderNode*>(item.lParam);
}

}  // namespace

int folder_items_alive() { return g_items_alive; }

char* convert_shell_name(IMalloc* allocator, STRRET& name, LPCITEMIDLIST id, bool for_path) {
  switch (name.uType) {
    case STRRET_WSTR: {
      char* text = nullptr;
      if (name.pOleStr != nullptr) {
        text = for_path ? to_ansi_path(allocator, name.pOleStr) : to_ansi(allocator, name.pOleStr, false);
        // The shell allocated the wide text for the caller.
        allocator->Free(name.pOleStr);
        name.pOleStr = nullptr;
      }
      return text;
    }
    case STRRET_OFFSET: {
      if (id == nullptr) return nullptr;
      const char* text = reinterpret_cast<const char*>(id) + name.uOffset;
      return shell_copy(allocator, text, std::strlen(text));
    }
    case STRRET_CSTR:
      return shell_copy(allocator, name.cStr, strnlen(name.cStr, sizeof name.cStr));
    default:
      return nullptr;
  }
}

bool parsing_path_to_scan_path(const char* parsing, char* out, int capacity) {
  if (capacity <= 0) return false;
  out[0] = '\0';
  std::size_t length = std::strlen(parsing);
  if (length > 0 && parsing[length - 1] == '\\') --length;
  if (length >= static_cast<std::size_t>(capacity)) return false;
  std::memcpy(out, parsing, length);
  out[length] = '\0';
  return length > 0;
}

HTREEITEM insertion_order(bool has_parent, bool parent_is_file_system) {
  return has_parent && parent_is_file_system ? TVI_SORT : TVI_LAST;
}

HICON item_icon(IShellFolder* folder, LPCITEMIDLIST id) {
  IExtractIconA* extractor = nullptr;
  if (FAILED(folder->GetUIObjectOf(nullptr, 1, &id, IID_IExtractIconA, nullptr,
                                   reinterpret_cast<void**>(&extractor))) ||
      extractor == nullptr) {
    return nullptr;
  }
  HICON large = nullptr;
  HICON small = nullptr;
  char file[MAX_PATH] = {};
  int index = 0;
  UINT flags = 0;
  if (extractor->GetIconLocation(GIL_FORSHELL, file, MAX_PATH, &index, &flags) == S_OK) {
    const HRESULT extracted = extractor->Extract(file, static_cast<UINT>(index), &large, &small, MAKELONG(32, 16));
    if (extracted != S_OK && large != nullptr) {
      DestroyIcon(large);
      large = nullptr;
    }
  }
  // The image list is 16 pixels high and is given the large icon, like
  // every item before it; the small one would only be lost.
  if (small != nullptr) DestroyIcon(small);
  extractor->Release();
  return large;
}

FolderLister::FolderLister(int root) : root_(root) {
  if (FAILED(SHGetMalloc(&allocator_))) allocator_ = nullptr;
}

FolderLister::~FolderLister() {
  end_listing();
  if (allocator_ != nullptr) allocator_->Release();
}

void FolderLister::end_listing() {
  if (listing_ != nullptr) listing_->Release();
  if (listed_ != nullptr) listed_->Release();
  listing_ = nullptr;
  listed_ = nullptr;
}

bool FolderLister::begin(IShellFolder* folder, LPCITEMIDLIST id) {
  end_listing();
  if (allocator_ == nullptr) return false;
  if (folder == nullptr && id == nullptr) {
    LPITEMIDLIST root_id = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, root_, &root_id))) return false;
    allocator_->Free(root_id);
    if (FAILED(SHGetDesktopFolder(&listed_))) {
      listed_ = nullptr;
      return false;
    }
  } else if (folder == nullptr || id == nullptr) {
    return false;
  } else if (FAILED(folder->BindToObject(id, nullptr, IID_IShellFolder, reinterpret_cast<void**>(&listed_)))) {
    listed_ = nullptr;
    return false;
  }
  if (listed_ == nullptr) return false;
  if (FAILED(listed_->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_INCLUDEHIDDEN, &listing_)) ||
      listing_ == nullptr) {
    listing_ = nullptr;
    end_listing();
    return false;
  }
  return true;
}

FolderNode* FolderLister::next() {
  if (listed_ == nullptr) return nullptr;
  LPITEMIDLIST id = nullptr;
  ULONG fetched = 0;
  if (listing_->Next(1, &id, &fetched) != S_OK || id == nullptr) {
    end_listing();
    return nullptr;
  }
  STRRET name{};
  char* display_name = nullptr;
  if (SUCCEEDED(listed_->GetDisplayNameOf(id, SHGDN_NORMAL, &name))) {
    display_name = convert_shell_name(allocator_, name, id, false);
  }
  auto* item = display_name != nullptr ? new (std::nothrow) FolderNode : nullptr;
  if (item == nullptr) {
    if (display_name != nullptr) allocator_->Free(display_name);
    allocator_->Free(id);
    end_listing();
    return nullptr;
  }
  ++g_items_alive;
  item->id = id;
  item->display_name = display_name;
  item->folder = listed_;
  listed_->AddRef();
  item->icon = item_icon(listed_, id);
  return item;
}

FolderTree::~FolderTree() { destroy(); }

bool FolderTree::create(HWND tree) {
  tree_ = tree;
  com_ = SUCCEEDED(CoInitialize(nullptr));
  if (FAILED(SHGetMalloc(&allocator_))) allocator_ = nullptr;
  images_ = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 1, 1);
  if (images_ == nullptr) return false;
  SendMessageA(tree_, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(images_));
  lister_ = new (std::nothrow) FolderLister(CSIDL_DESKTOP);
  if (lister_ == nullptr || !lister_->ok() || allocator_ == nullptr) return false;
  parent_ = nullptr;
  return fill(nullptr, nullptr);
}

void FolderTree::destroy() {
  if (tree_ != nullptr && IsWindow(tree_)) {
    // Each deletion notifies the dialog, which releases the folder item.
    SendMessageA(tree_, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    SendMessageA(tree_, TVM_SETIMAGELIST, TVSIL_NORMAL, 0);
  }
  tree_ = nullptr;
  if (images_ != nullptr) ImageList_Destroy(images_);
  images_ = nullptr;
  delete lister_;
  lister_ = nullptr;
  if (allocator_ != nullptr) allocator_->Release();
  allocator_ = nullptr;
  if (com_) CoUninitialize();
  com_ = false;
}

bool FolderTree::fill(IShellFolder* folder, LPCITEMIDLIST id) {
  WaitCursor wait;
  if (lister_ == nullptr || !lister_->begin(folder, id)) return false;
  bool parent_is_file_system = false;
  if (parent_ != nullptr) {
    const FolderNode* parent = item_data(tree_, parent_);
    parent_is_file_system = parent != nullptr && has_attributes(parent->folder, parent->id, SFGAO_FILESYSTEM);
  }
  while (FolderNode* item = lister_->next()) {
    TVINSERTSTRUCTA insert{};
    insert.hParent = parent_ != nullptr ? parent_ : TVI_ROOT;
    insert.hInsertAfter = insertion_order(parent_ != nullptr, parent_is_file_system);
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_PARAM | TVIF_SELECTEDIMAGE | TVIF_CHILDREN;
    insert.item.pszText = item->display_name;
    insert.item.lParam = reinterpret_cast<LPARAM>(item);
    insert.item.cChildren = has_attributes(item->folder, item->id, SFGAO_HASSUBFOLDER) ? 1 : 0;
    int image = -1;
    if (item->icon != nullptr) {
      // The image list keeps a copy; the icon itself is no longer needed.
      image = ImageList_ReplaceIcon(images_, -1, item->icon);
      DestroyIcon(item->icon);
      item->icon = nullptr;
    }
    insert.item.iImage = image;
    insert.item.iSelectedImage = image;
    auto* handle = reinterpret_cast<HTREEITEM>(SendMessageA(tree_, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
    if (handle == nullptr) {
      release(item);
      continue;
    }
    item->tree_item = handle;
  }
  return true;
}

void FolderTree::on_item_expanding(const NMTREEVIEWA& change) {
  if ((change.itemNew.state & TVIS_EXPANDEDONCE) != 0) return;
  auto* item = reinterpret_cast<FolderNode*>(change.itemNew.lParam);
  if (item == nullptr) return;
  parent_ = change.itemNew.hItem;
  fill(item->folder, item->id);
}

void FolderTree::on_delete_item(const NMTREEVIEWA& change) {
  release(reinterpret_cast<FolderNode*>(change.itemOld.lParam));
}

void FolderTree::release(FolderNode* item) const {
  if (item == nullptr) return;
  if (item->icon != nullptr) DestroyIcon(item->icon);
  if (allocator_ != nullptr) {
    allocator_->Free(item->id);
    allocator_->Free(item->display_name);
  }
  if (item->folder != nullptr) item->folder->Release();
  delete item;
  --g_items_alive;
}

bool FolderTree::selected_path(char* out, int capacity) const {
  if (capacity <= 0) return false;
  out[0] = '\0';
  if (tree_ == nullptr || allocator_ == nullptr) return false;
  const auto caret = reinterpret_cast<HTREEITEM>(SendMessageA(tree_, TVM_GETNEXTITEM, TVGN_CARET, 0));
  if (caret == nullptr) return false;
  char label[MAX_PATH] = {};
  TVITEMA get{};
  get.mask = TVIF_HANDLE | TVIF_TEXT | TVIF_PARAM;
  get.hItem = caret;
  get.pszText = label;
  get.cchTextMax = MAX_PATH;
  if (!SendMessageA(tree_, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&get)) || label[0] == '\0') return false;
  const auto* item = reinterpret_cast<const FolderNode*>(get.lParam);
  if (item == nullptr) return false;
  STRRET name{};
  if (FAILED(item->folder->GetDisplayNameOf(item->id, SHGDN_FORPARSING, &name))) return false;
  char* path = convert_shell_name(allocator_, name, item->id, true);
  if (path == nullptr) return false;
  const bool ok = parsing_path_to_scan_path(path, out, capacity);
  allocator_->Free(path);
  return ok;
}

}  // namespace krelvon::ui
