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

// What an input name stands for (links followed): a regular file (*size set), a pipe or FIFO whose
// size is unknown until it is read to its end (`<(cmd)`, /dev/stdin fed by a pipe), or neither
// (missing, a folder, a device).
enum ZsFileKind : int { ZS_FILE_REGULAR, ZS_FILE_STREAM, ZS_FILE_NONE };
ZsFileKind zs_plat_file_kind(const char* path, int64_t* size);

// Bytes of memory the process may have: the physical memory, or the cgroup limit (v2
// /sys/fs/cgroup/memory.max, v1 /sys/fs/cgroup/memory/memory.limit_in_bytes, in the process's own
// cgroup and every one above it) or the address-space limit when one is set and lower. 0 when
// nothing can be learnt.
int64_t zs_plat_memory_limit();
// Processors the process may run on (its affinity mask; the online processors when the mask
// cannot be read); at least 1.
int64_t zs_plat_cpu_count();
// The limit a cgroup file holds (a byte count; "max" or anything else that is not one: -1).
int64_t zs_plat_read_limit(const char* path);

// access() with mode 0 (exists) or 6 (read and write). Returns 0 when allowed.
int zs_plat_access(const char* path, int mode);

// The path a name stands for, symbolic links followed (a dangling link by the path it points to)
// and made absolute. 0, or -1 when it cannot be worked out (out then holds the name unchanged, or
// nothing when the name is longer than ZS_PATH_MAX).
inline constexpr int ZS_PATH_MAX = 4096;
int zs_plat_resolve(const char* path, char out[ZS_PATH_MAX]);

// 1 when both names stand for the same regular file, existing or still to be created: the same
// resolved path, or the same device and inode. Anything else that exists (a device such as
// /dev/null, a FIFO) is never "the same file". 0 otherwise.
int zs_plat_same_file(const char* a, const char* b);

// Makes sure descriptors 0, 1 and 2 are open: a closed one gets /dev/null opened in the other
// direction, so that no file the run opens takes its number and a write to a closed standard
// output fails instead of landing in that file.
void zs_plat_guard_std_fds();

// ---- Output files replaced only when complete ----
// A regular file, or a name not taken yet, is written through a new file in the same folder
// (mode 0600) that takes its place only at commit, so a failed run leaves the old content; a
// symbolic link's target is replaced, never the link. Anything else (a device, a FIFO) is
// written directly.
struct ZsOutFile {
    FILE* stream;  // open for writing until zs_plat_out_close (a borrowed stream is never closed)
    char* temp;    // the new file while it is not in place; null when written directly
    char* target;  // what it replaces (links resolved)
    int32_t mode;  // permission bits the file gets at commit
    int32_t uid;   // owner of the file it replaces; -1 for a new file
    int32_t gid;
    bool borrowed = false;  // the caller's stream (standard output): flushed, never closed
};
// A stream the caller owns as the output: close and abort flush it and clear its error state.
ZsOutFile zs_plat_out_borrow(FILE* stream);
// Opens path for writing. 0, or -1 with errno set (nothing is left behind).
int zs_plat_out_open(const char* path, ZsOutFile* out);
// Flushes and closes the stream: 0 when every byte reached the file, -1 otherwise.
int zs_plat_out_close(ZsOutFile* out);
// Puts a closed file in the place of its target: 0, or -1 with errno set (the new file is then
// removed). Nothing to do for a file written directly.
int zs_plat_out_commit(ZsOutFile* out);
// Closes the stream if still open and removes the new file: the target keeps its content.
void zs_plat_out_abort(ZsOutFile* out);

int zs_plat_unlink(const char* path);

// Reads up to n bytes from the stream's descriptor (the stream must be unbuffered or unused),
// retrying after interrupted calls and after short reads (a pipe delivers in pieces): only the end
// of the data or an error ends a read early. A stream without a descriptor (one over memory) is
// read through the stream. Returns the bytes read, or -1 after an error.
int64_t zs_plat_read(FILE* stream, void* buf, int64_t n);
// One read of up to n bytes, as zs_plat_read reads: what is there (a pipe's piece), waiting for
// some when nothing is. Returns the bytes read (0 at the end of the data), -1 after an error, or
// -2 when a signal interrupted the wait before anything was read.
int64_t zs_plat_read_some(FILE* stream, void* buf, int64_t n);
// Waits up to ms milliseconds for the stream to have something to read (data, its end or an
// error, which the read then reports): 1 when it has, 0 when the time ran out or a signal came.
// A stream without a descriptor always has.
int zs_plat_wait_readable(FILE* stream, int ms);
// The same at a position of a file (one with a descriptor), without moving the stream.
int64_t zs_plat_read_at(FILE* stream, void* buf, int64_t n, int64_t offset);
// Writes n bytes at a position of a file (one with a descriptor), without moving the stream;
// threads may write different parts of one file at once. 0, or -1 after an error.
int zs_plat_write_at(FILE* stream, const void* buf, int64_t n, int64_t offset);
// Whether positional writes reach the stream's file: a regular file with a descriptor (not a pipe,
// a device or a stream in memory).
bool zs_plat_positional(FILE* stream);
// The stream's position as the stream counts it (its reads, writes and seeks), or -1; a file read
// with zs_plat_read takes zs_plat_read_position.
int64_t zs_plat_tell(FILE* stream);
// Moves a stream to a position from the start. 0, or -1.
int zs_plat_seek(FILE* stream, int64_t offset);
// The position of, and a move of, a file read with zs_plat_read: its descriptor's (the stream's
// own bookkeeping, which zs_plat_tell may answer from, does not see those reads). -1 on failure.
int64_t zs_plat_read_position(FILE* stream);
int zs_plat_read_seek(FILE* stream, int64_t offset);
// Gives the pages wholly inside a region of memory back to the system; the region stays mapped
// and reads as zeros.
void zs_plat_discard(void* p, int64_t bytes);
// Reserves disk space for the first `bytes` bytes of the stream's file without changing its size
// (a hint: the writes that follow need not find and reserve blocks one page at a time). 0, or -1
// when the file system or the disk does not give it (the writes then go on as without).
int zs_plat_reserve(FILE* stream, int64_t bytes);
// Cuts the stream's file (one with a descriptor) to len bytes. 0, or -1.
int zs_plat_truncate(FILE* stream, int64_t len);
// Clears the end-of-file and error state of a stream (standard input before a new run).
void zs_plat_clear(FILE* stream);

// Creates a temporary file of the run's own, named after pattern (folder and name, "….tmp") with
// "_" and a unique part put in front of ".tmp", for reading and writing, private to the user (mode 0600), created with O_EXCL and never
// through a link (a name taken by anyone else is passed over for another), and removes the name
// at once, so the stream is the only way to the file and no way the process ends can leave it
// behind. name (nameCap bytes) receives the name tried last. 0 with *out open; -1 when no file
// could be created, -2 when the name could not be removed (nothing is left open), errno set.
int zs_plat_create_temp(const char* pattern, char* name, size_t nameCap, FILE** out);

// Default temporary folder: TEMP, else TMPDIR, else "/tmp".
const char* zs_plat_temp_dir();
