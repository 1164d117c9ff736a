// The C-runtime calls of the Windows program (io.h, string.h extensions),
// over POSIX. Descriptors are plain POSIX descriptors; lengths and offsets
// are the 32-bit `long` of the Windows runtime's interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_BINARY 0x8000
#define _S_IWRITE 0x0080
#define _S_IREAD 0x0100

// The calls that take a path reach it as platform/held_folder.h says: below a
// held root never through a link (ELOOP) nor onto another file system (EXDEV).
//
// Opens files, never through a symbolic link (the link itself is refused,
// errno ELOOP), so a scan cannot act on what a link points to. The open does
// not wait: a FIFO put in place of a file is let go at once.
//
// An open for reading costs the open alone: examining a file is open, read,
// close. Its reads are taken at an offset, which a FIFO, socket, terminal or
// other stream cannot serve: the first read of one fails with ENXIO and
// nothing of it is taken. An open for writing takes regular files only (a
// folder: EISDIR; anything else: ENXIO) and none without any write bit (the
// read-only attribute; EACCES).
int _open(const char* path, int flags, ...);
int _close(int fd);
// The device and inode of the file a descriptor from _open stands for (a
// descriptor's file never changes), asked once; false for a descriptor the
// runtime did not open, or one that is no regular file.
bool krelvon_opened_file(int fd, std::uint64_t* device, std::uint64_t* inode);
// The file's length when it was first asked for one of these two; false as
// for krelvon_opened_file.
bool krelvon_opened_length(int fd, std::int64_t* length);
int _read(int fd, void* buffer, unsigned int count);
// Reads count bytes at position of a descriptor from _open (its position
// stays where it was) only as far as the page cache holds them now: -1 with
// errno EAGAIN when the disk would have to serve them, EOPNOTSUPP when the
// file system cannot tell; otherwise as _read. One call, which never waits
// for the disk.
int krelvon_read_cached(int fd, void* buffer, unsigned int count, std::int64_t position);
int _write(int fd, const void* buffer, unsigned int count);
// Offsets outside 0..2^31-1 fail with -1 (EINVAL), as a 32-bit runtime does.
std::int32_t _lseek(int fd, std::int32_t offset, int origin);
std::int32_t _filelength(int fd);
int _chsize(int fd, std::int32_t size);
// _S_IWRITE present: the owner may write; absent: every write bit cleared.
int _chmod(const char* path, int mode);
int _unlink(const char* path);
// mode 0: exists; 2: writable; 4: readable; 6: both.
int _access(const char* path, int mode);

char* _strlwr(char* text);
char* _strupr(char* text);
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, std::size_t count);
