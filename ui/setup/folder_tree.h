// The folder tree of the scan options dialog: a tree view control over the
// shell namespace from the desktop downwards, folders only (hidden ones
// included), each with the shell's icon. A folder's subfolders are listed on
// its first expansion; the caret item becomes the scan path through its
// shell parsing name.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

namespace krelvon::ui {

// One per tree item, owned by it through the item data; released when the
// tree deletes the item.
struct FolderNode {
  HICON icon = nullptr;            // until it has been copied into the image list
  IShellFolder* folder = nullptr;  // the folder that listed the item; one reference
  char* display_name = nullptr;    // from the shell allocator
  LPITEMIDLIST id = nullptr;       // relative to folder; from the shell allocator
  HTREEITEM tree_item = nullptr;
};

// Narrow text of a shell name, allocated with `allocator`; nullptr on
// failure. A wide name is converted with the ANSI code page, the one the
// narrow file functions use; the wide text of a STRRET_WSTR is freed.
//
// for_path: the name goes to the narrow file functions, so a character that
// the ANSI code page cannot hold is a failure (it would come out as '?' or a
// look-alike and name another file) unless the system gives a short name
// for the path that the code page can hold, which is then used. Otherwise
// (display names) such a character is shown as the code page's default.
char* convert_shell_name(IMalloc* allocator, STRRET& name, LPCITEMIDLIST id, bool for_path);

// The parsing path as the scan path: copied into `out` (capacity bytes),
// one trailing backslash removed. False, with `out` empty, when it does not
// fit: a cut path would name another folder.
bool parsing_path_to_scan_path(const char* parsing, char* out, int capacity);

// Where a fill inserts its items: a file-system folder's children sorted by
// label, everything else (the top level included) in the shell's order.
HTREEITEM insertion_order(bool has_parent, bool parent_is_file_system);

// The shell's icon of `id` in `folder`: the large icon, which the caller
// destroys; the small one that Extract also gives is destroyed at once.
// nullptr when there is none.
HICON item_icon(IShellFolder* folder, LPCITEMIDLIST id);

// Folder items created and not yet released, for leak checks.
int folder_items_alive();

// Lists the subfolders of one folder at a time.
class FolderLister {
 public:
  explicit FolderLister(int root);
  ~FolderLister();
  FolderLister(const FolderLister&) = delete;
  FolderLister& operator=(const FolderLister&) = delete;

  // False when the shell allocator could not be obtained.
  bool ok() const { return allocator_ != nullptr; }
  IMalloc* allocator() const { return allocator_; }

  // Starts listing the root (folder and id both null) or the folder `id`
  // of `folder`.
  bool begin(IShellFolder* folder, LPCITEMIDLIST id);
  // The next subfolder as a new folder item, or nullptr at the end (the
  // listing is then over).
  FolderNode* next();

 private:
  void end_listing();

  IMalloc* allocator_ = nullptr;
  IShellFolder* listed_ = nullptr;
  IEnumIDList* listing_ = nullptr;
  int root_;
};

// The tree view control and everything that its items hold.
class FolderTree {
 public:
  FolderTree() = default;
  ~FolderTree();
  FolderTree(const FolderTree&) = delete;
  FolderTree& operator=(const FolderTree&) = delete;

  // Binds the tree view, creates its image list and the folder lister for
  // the desktop, and lists the top level. False when any step fails (the
  // tree then stays empty).
  bool create(HWND tree);
  // Deletes every item (releasing its folder item) and the image list; the
  // dialog calls it while its window is being destroyed.
  void destroy();

  // TVN_ITEMEXPANDING: lists the item's subfolders on its first expansion.
  void on_item_expanding(const NMTREEVIEWA& change);
  // TVN_DELETEITEM: releases the item's folder item.
  void on_delete_item(const NMTREEVIEWA& change);

  // The caret item's parsing path as a scan path (see
  // parsing_path_to_scan_path); false, with `out` empty, when there is no
  // usable folder.
  bool selected_path(char* out, int capacity) const;

  HWND hwnd() const { return tree_; }

 private:
  bool fill(IShellFolder* folder, LPCITEMIDLIST id);
  void release(FolderNode* item) const;

  HWND tree_ = nullptr;
  HIMAGELIST images_ = nullptr;
  FolderLister* lister_ = nullptr;
  IMalloc* allocator_ = nullptr;
  HTREEITEM parent_ = nullptr;  // insertion parent; nullptr for the top level
  bool com_ = false;
};

}  // namespace krelvon::ui
