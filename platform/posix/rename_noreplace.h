// A rename that never replaces what is at the new name.
#pragma once

// Moves `from` to `to` unless something (a file, a folder, a dangling link)
// already has the name `to`; 0 on success, -1 with errno (EEXIST when the
// name is taken). Where the kernel and the file system offer it, the check
// and the move are one step (renameat2 with RENAME_NOREPLACE). Elsewhere a
// second name is linked to the file (which fails when the name is taken) and
// the old one removed; on a file system without hard links (and for a
// folder) the name is checked right before an ordinary rename, the only case
// where a name taken between the two steps could still be replaced.
int krelvon_rename_noreplace(const char* from, const char* to);
