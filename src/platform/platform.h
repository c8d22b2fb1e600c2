// Stand-ins for the operating-system services the engine needs. Nothing outside
// this folder calls a platform interface directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

// Folder separator used when paths are split and folders are joined.
inline constexpr char ZS_PATH_SEP = '/';

// Locale identifier of the user: 1041 for a Japanese (Japan) locale, an identifier whose
// primary language (low ten bits) is 17 for another Japanese locale, 1033 otherwise.
int zs_plat_user_lcid();

// Converts a zero-terminated UTF-8 text to code page 932 into out (outSize bytes including
// the terminator). Invalid or unmappable sequences become '?'. Returns the bytes written
// without the terminator; -1 when a pointer is missing or no converter can be opened.
int zs_plat_to_cp932(const char* in, char* out, int outSize);

// Milliseconds of monotonic time since the module was loaded.
long zs_plat_clock();

int zs_plat_getpid();

// Current local time.
void zs_plat_localtime(std::tm* out);

// Size of a regular file. Returns 0 on success; -1 when the file cannot be queried or is
// not a regular file (a folder or a FIFO has no size we can rely on).
int zs_plat_file_size(const char* path, int64_t* size);

// access() with mode 0 (exists) or 6 (read and write). Returns 0 when allowed.
int zs_plat_access(const char* path, int mode);

// 1 when both paths name the same file: the same device and inode when both exist; the same
// folder and the same final name when neither exists yet. 0 otherwise.
int zs_plat_same_file(const char* a, const char* b);

int zs_plat_unlink(const char* path);

// Default temporary folder: TEMP, else TMPDIR, else "/tmp".
const char* zs_plat_temp_dir();
