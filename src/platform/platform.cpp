#include "platform/platform.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <iconv.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

const std::chrono::steady_clock::time_point loadTime = std::chrono::steady_clock::now();

const char* first_env(const char* const* names, int n) {
    for (int i = 0; i < n; i++) {
        const char* v = std::getenv(names[i]);
        if (v != nullptr && v[0] != '\0') return v;
    }
    return nullptr;
}

// Length of the UTF-8 sequence that starts at s (1 for an invalid lead or truncated sequence),
// so that one unmappable character becomes exactly one '?'.
size_t utf8_seq_len(const unsigned char* s, size_t left) {
    unsigned char c = s[0];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || n > left) return 1;
    for (size_t i = 1; i < n; i++)
        if ((s[i] & 0xC0) != 0x80) return 1;
    return n;
}

}  // namespace

int zs_plat_user_lcid() {
    static const char* const names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    const char* loc = first_env(names, 3);
    if (loc == nullptr) return 1033;
    if (std::strncmp(loc, "ja_JP", 5) == 0) return 1041;
    if (std::strncmp(loc, "ja", 2) == 0) return (1 << 10) | 17;  // Japanese, another sublanguage
    return 1033;
}

int zs_plat_to_cp932(const char* in, char* out, int outSize) {
    if (in == nullptr || out == nullptr || outSize <= 0) return -1;
    static iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1) return -1;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);

    char* src = const_cast<char*>(in);
    size_t srcLeft = std::strlen(in);
    char* dst = out;
    size_t dstLeft = (size_t)outSize - 1;
    while (srcLeft > 0 && dstLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != (size_t)-1) break;
        if (errno == E2BIG) break;
        // Invalid or unmappable: one '?' for the character, then go on.
        size_t skip = utf8_seq_len(reinterpret_cast<unsigned char*>(src), srcLeft);
        *dst++ = '?';
        dstLeft--;
        src += skip;
        srcLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    *dst = '\0';
    return (int)(dst - out);
}

long zs_plat_clock() {
    auto d = std::chrono::steady_clock::now() - loadTime;
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

int zs_plat_getpid() { return (int)getpid(); }

void zs_plat_localtime(std::tm* out) {
    std::time_t now = std::time(nullptr);
    localtime_r(&now, out);
}

ZsFileKind zs_plat_file_kind(const char* path, int64_t* size) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return ZS_FILE_NONE;
    if (S_ISREG(st.st_mode)) {
        *size = (int64_t)st.st_size;
        return ZS_FILE_REGULAR;
    }
    return S_ISFIFO(st.st_mode) ? ZS_FILE_STREAM : ZS_FILE_NONE;
}

int zs_plat_access(const char* path, int mode) {
    int m = mode == 6 ? (R_OK | W_OK) : F_OK;
    return path != nullptr && access(path, m) == 0 ? 0 : -1;
}

namespace {

bool copy_path(char* out, const char* s) {
    size_t n = std::strlen(s);
    if (n >= (size_t)ZS_PATH_MAX) return false;
    std::memcpy(out, s, n + 1);
    return true;
}

// dir of path (up to its last separator, "." without one) joined with name.
bool join_beside(char* out, const char* path, const char* name) {
    const char* slash = std::strrchr(path, ZS_PATH_SEP);
    if (slash == nullptr) return copy_path(out, name);
    size_t d = (size_t)(slash - path) + 1;
    size_t n = std::strlen(name);
    if (d + n >= (size_t)ZS_PATH_MAX) return false;
    char tmp[ZS_PATH_MAX];
    std::memcpy(tmp, path, d);
    std::memcpy(tmp + d, name, n + 1);
    return copy_path(out, tmp);
}

}  // namespace

int zs_plat_resolve(const char* path, char out[ZS_PATH_MAX]) {
    if (path == nullptr || !copy_path(out, path)) {
        out[0] = '\0';
        return -1;
    }
    char cur[ZS_PATH_MAX];
    copy_path(cur, path);
    // Follow links by hand, so that a dangling one still leads to the path it points to.
    for (int depth = 0; depth < 40; depth++) {
        struct stat st;
        if (lstat(cur, &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char link[ZS_PATH_MAX];
        ssize_t n = readlink(cur, link, sizeof link - 1);
        if (n < 0) return -1;
        link[n] = '\0';
        if (!(link[0] == ZS_PATH_SEP ? copy_path(cur, link) : join_beside(cur, cur, link))) return -1;
    }
    char real[PATH_MAX];
    if (realpath(cur, real) != nullptr) return copy_path(out, real) ? 0 : -1;
    // Not there yet: the real folder and the final name.
    const char* slash = std::strrchr(cur, ZS_PATH_SEP);
    const char* name = slash != nullptr ? slash + 1 : cur;
    char dir[ZS_PATH_MAX];
    if (slash == nullptr) {
        copy_path(dir, ".");
    } else if (slash == cur) {
        copy_path(dir, "/");
    } else {
        std::memcpy(dir, cur, (size_t)(slash - cur));
        dir[slash - cur] = '\0';
    }
    if (realpath(dir, real) == nullptr) return -1;
    size_t r = std::strlen(real), n = std::strlen(name);
    if (r + 1 + n >= (size_t)ZS_PATH_MAX) return -1;
    std::memcpy(out, real, r);
    size_t at = r;
    if (r == 0 || real[r - 1] != ZS_PATH_SEP) out[at++] = ZS_PATH_SEP;
    std::memcpy(out + at, name, n + 1);
    return 0;
}

int zs_plat_same_file(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return 0;
    struct stat sa, sb;
    bool ea = stat(a, &sa) == 0, eb = stat(b, &sb) == 0;
    // Devices and FIFOs may be shared: writing both to /dev/null destroys nothing.
    if ((ea && !S_ISREG(sa.st_mode)) || (eb && !S_ISREG(sb.st_mode))) return 0;
    if (ea && eb && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return 1;
    char ra[ZS_PATH_MAX], rb[ZS_PATH_MAX];
    // A path that cannot be resolved (too long) is compared as written.
    if (zs_plat_resolve(a, ra) != 0 || zs_plat_resolve(b, rb) != 0) return std::strcmp(a, b) == 0;
    return std::strcmp(ra, rb) == 0;
}

void zs_plat_guard_std_fds() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int n = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (n >= 0 && n != fd) {
            dup2(n, fd);
            close(n);
        }
    }
}

namespace {

// The process's file-creation mask. Read from /proc without changing it (other threads may create
// files meanwhile) and without allocating; where that cannot be read, set and restored.
mode_t current_umask() {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[4096];
        ssize_t n;
        do {
            n = read(fd, buf, sizeof buf - 1);
        } while (n < 0 && errno == EINTR);
        close(fd);
        if (n > 0) {
            buf[n] = '\0';
            const char* at = std::strstr(buf, "\nUmask:");
            unsigned m;
            if (at != nullptr && std::sscanf(at + 7, "%o", &m) == 1) return (mode_t)m;
        }
    }
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

void out_clear(ZsOutFile* out) {
    std::free(out->temp);
    std::free(out->target);
    *out = ZsOutFile{nullptr, nullptr, nullptr, 0, -1, -1, false};
}

}  // namespace

ZsOutFile zs_plat_out_borrow(FILE* stream) { return ZsOutFile{stream, nullptr, nullptr, 0, -1, -1, true}; }

int zs_plat_out_open(const char* path, ZsOutFile* out) {
    *out = ZsOutFile{nullptr, nullptr, nullptr, 0, -1, -1, false};
    char target[ZS_PATH_MAX];
    if (zs_plat_resolve(path, target) != 0 && !copy_path(target, path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    struct stat st;
    bool exists = stat(target, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        out->stream = fopen(path, "wb");  // a device or a FIFO: nothing to keep
        return out->stream != nullptr ? 0 : -1;
    }
    char temp[ZS_PATH_MAX + 32];
    const char* slash = std::strrchr(target, ZS_PATH_SEP);
    int dirLen = slash != nullptr ? (int)(slash - target) + 1 : 0;
    // The new file's name must stay within the folder's name limit (255 bytes): a long name is
    // cut, its last bytes are of no use to anyone reading a leftover's name.
    const char* base = slash != nullptr ? slash + 1 : target;
    constexpr int kNameMax = 255;
    constexpr int kFrame = (int)sizeof(".") - 1 + (int)sizeof(".tesra-XXXXXX") - 1;
    int baseLen = (int)std::strlen(base);
    if (baseLen > kNameMax - kFrame) baseLen = kNameMax - kFrame;
    snprintf(temp, sizeof temp, "%.*s.%.*s.tesra-XXXXXX", dirLen, target, baseLen, base);
    int fd = mkostemp(temp, O_CLOEXEC);  // mode 0600 while it is written
    if (fd < 0) {
        // A folder we may not write to, holding a file we may: write it directly, as before.
        if ((errno == EACCES || errno == EPERM) && exists) {
            out->stream = fopen(path, "wb");
            return out->stream != nullptr ? 0 : -1;
        }
        return -1;
    }
    out->stream = fdopen(fd, "wb");
    out->temp = strdup(temp);
    out->target = strdup(target);
    if (out->stream == nullptr || out->temp == nullptr || out->target == nullptr) {
        int e = errno != 0 ? errno : ENOMEM;
        if (out->stream != nullptr) fclose(out->stream); else close(fd);
        unlink(temp);
        out->stream = nullptr;
        out_clear(out);
        errno = e;
        return -1;
    }
    if (exists) {
        out->mode = (int32_t)(st.st_mode & 07777);
        out->uid = (int32_t)st.st_uid;
        out->gid = (int32_t)st.st_gid;
    } else {
        out->mode = (int32_t)(0666 & ~current_umask());
    }
    return 0;
}

int zs_plat_out_close(ZsOutFile* out) {
    if (out->stream == nullptr) return 0;
    bool failed = fflush(out->stream) != 0 || ferror(out->stream) != 0;
    if (out->borrowed) {
        clearerr(out->stream);  // the next run starts without this run's error
        out->stream = nullptr;
        out->borrowed = false;
        return failed ? -1 : 0;
    }
    if (out->temp != nullptr && !failed) {
        int fd = fileno(out->stream);
        // The owner of the file it replaces, where we may; else the file stays ours.
        if (out->uid >= 0) {
            int owned = fchown(fd, (uid_t)out->uid, (gid_t)out->gid);
            (void)owned;
        }
        if (fchmod(fd, (mode_t)out->mode) != 0) failed = true;
    }
    if (fclose(out->stream) != 0) failed = true;
    out->stream = nullptr;
    return failed ? -1 : 0;
}

int zs_plat_out_commit(ZsOutFile* out) {
    int rc = 0;
    if (out->temp != nullptr && rename(out->temp, out->target) != 0) {
        int e = errno;
        unlink(out->temp);
        errno = e;
        rc = -1;
    }
    out_clear(out);
    return rc;
}

void zs_plat_out_abort(ZsOutFile* out) {
    if (out->stream != nullptr && out->borrowed) {
        fflush(out->stream);
        clearerr(out->stream);
    } else if (out->stream != nullptr) {
        fclose(out->stream);
    }
    out->stream = nullptr;
    if (out->temp != nullptr) unlink(out->temp);
    out_clear(out);
}

int zs_plat_unlink(const char* path) { return unlink(path); }

namespace {

// Reads until n bytes, the end of the file or an error; from offset, or the current position
// when offset is negative.
int64_t read_full(FILE* stream, void* buf, int64_t n, int64_t offset) {
    int fd = fileno(stream);
    if (fd < 0) {
        // A stream over memory, read front to back: nothing to wait for, the stream reads it all.
        if (offset >= 0) return -1;
        size_t got = fread(buf, 1, (size_t)n, stream);
        return got < (size_t)n && ferror(stream) ? -1 : (int64_t)got;
    }
    int64_t got = 0;
    while (got < n) {
        size_t want = (size_t)(n - got < (1LL << 30) ? n - got : (1LL << 30));
        char* at = (char*)buf + got;
        ssize_t r = offset < 0 ? read(fd, at, want) : pread(fd, at, want, (off_t)(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += r;
    }
    return got;
}

}  // namespace

int64_t zs_plat_read(FILE* stream, void* buf, int64_t n) { return read_full(stream, buf, n, -1); }

int64_t zs_plat_read_some(FILE* stream, void* buf, int64_t n) {
    int fd = fileno(stream);
    if (fd < 0) return read_full(stream, buf, n, -1);
    size_t want = (size_t)(n < (1LL << 30) ? n : (1LL << 30));
    ssize_t r = read(fd, buf, want);
    if (r < 0) return errno == EINTR ? -2 : -1;
    return r;
}

int zs_plat_wait_readable(FILE* stream, int ms) {
    const int fd = fileno(stream);
    if (fd < 0) return 1;
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, ms);
    if (n == 0 || (n < 0 && errno == EINTR)) return 0;
    return 1;  // readable, at its end, or an error the read reports
}

int64_t zs_plat_read_at(FILE* stream, void* buf, int64_t n, int64_t offset) { return read_full(stream, buf, n, offset); }

int zs_plat_write_at(FILE* stream, const void* buf, int64_t n, int64_t offset) {
    const int fd = fileno(stream);
    if (fd < 0 || offset < 0) return -1;
    int64_t put = 0;
    while (put < n) {
        const size_t want = (size_t)(n - put < (1LL << 30) ? n - put : (1LL << 30));
        const ssize_t w = pwrite(fd, (const char*)buf + put, want, (off_t)(offset + put));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        put += w;
    }
    return 0;
}

bool zs_plat_positional(FILE* stream) {
    const int fd = fileno(stream);
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int zs_plat_truncate(FILE* stream, int64_t len) {
    const int fd = fileno(stream);
    if (fd < 0) return -1;
    while (ftruncate(fd, (off_t)len) != 0)
        if (errno != EINTR) return -1;
    return 0;
}

int64_t zs_plat_tell(FILE* stream) { return (int64_t)ftello(stream); }

int zs_plat_seek(FILE* stream, int64_t offset) { return fseeko(stream, (off_t)offset, SEEK_SET) == 0 ? 0 : -1; }

void zs_plat_discard(void* p, int64_t bytes) {
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    const uintptr_t from = ((uintptr_t)p + page - 1) & ~(page - 1);
    const uintptr_t to = ((uintptr_t)p + (uintptr_t)bytes) & ~(page - 1);
    if (to > from) madvise((void*)from, to - from, MADV_DONTNEED);
}

int zs_plat_reserve(FILE* stream, int64_t bytes) {
    const int fd = fileno(stream);
    if (fd < 0 || bytes <= 0) return -1;
    int rc;
    do {
        rc = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, (off_t)bytes);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int64_t zs_plat_read_position(FILE* stream) {
    const int fd = fileno(stream);
    return fd < 0 ? -1 : (int64_t)lseek(fd, 0, SEEK_CUR);
}

int zs_plat_read_seek(FILE* stream, int64_t offset) {
    const int fd = fileno(stream);
    return fd >= 0 && lseek(fd, (off_t)offset, SEEK_SET) == (off_t)offset ? 0 : -1;
}

void zs_plat_clear(FILE* stream) { clearerr(stream); }

int zs_plat_create_temp(const char* pattern, char* name, size_t nameCap, FILE** out) {
    *out = nullptr;
    // The unique part goes in front of the pattern's ".tmp", or at its end without one.
    const size_t patLen = std::strlen(pattern);
    const bool dotTmp = patLen >= 4 && std::strcmp(pattern + patLen - 4, ".tmp") == 0;
    const int stemLen = (int)(dotTmp ? patLen - 4 : patLen);
    // A clash (another run, another pid namespace sharing the folder, a planted file) only
    // means another name: a file the run did not create is never touched.
    for (int attempt = 0; attempt < 100; attempt++) {
        uint64_t r = ((uint64_t)zs_plat_clock() * 0x9E3779B97F4A7C15ULL) ^ ((uint64_t)getpid() << 32) ^
                     (uint64_t)(uintptr_t)name ^ ((uint64_t)attempt * 0xBF58476D1CE4E5B9ULL);
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        r ^= (uint64_t)ts.tv_nsec * 0x94D049BB133111EBULL;
        static constexpr char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        char unique[9];
        for (int i = 0; i < 8; i++) {
            unique[i] = digits[r % 36];
            r /= 36;
        }
        unique[8] = '\0';
        int len = snprintf(name, nameCap, "%.*s_%s.tmp", stemLen, pattern, unique);
        if (len < 0 || (size_t)len >= nameCap) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        // From here on the open descriptor is the only way to the file: nothing can leave it
        // behind, however the process ends.
        if (unlink(name) != 0) {
            int e = errno;
            close(fd);
            errno = e;
            return -2;
        }
        *out = fdopen(fd, "w+b");
        if (*out == nullptr) {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        return 0;
    }
    errno = EEXIST;
    return -1;
}

const char* zs_plat_temp_dir() {
    static const char* const names[] = {"TEMP", "TMPDIR"};
    const char* dir = first_env(names, 2);
    return dir != nullptr ? dir : "/tmp";
}

int64_t zs_plat_read_limit(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[64];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return -1;
    buf[n] = '\0';
    // Digits up to the end of the line; past 2^62 no limit is meant (v1 writes a huge number).
    int64_t v = 0;
    int i = 0;
    for (; buf[i] >= '0' && buf[i] <= '9'; i++) {
        if (v > ((int64_t)1 << 62) / 10) return -1;
        v = v * 10 + (buf[i] - '0');
    }
    if (i == 0 || (buf[i] != '\0' && buf[i] != '\n')) return -1;
    return v;
}

namespace {

// The lowest limit file `leaf` holds in the folders from `mount` + `path` up to `mount` (a
// cgroup's limit binds every cgroup below it); -1 when none is set.
int64_t lowest_limit(const char* mount, const char* path, const char* leaf) {
    char dir[ZS_PATH_MAX];
    if (snprintf(dir, sizeof dir, "%s%s", mount, path) >= (int)sizeof dir) return -1;
    int64_t lowest = -1;
    for (;;) {
        char file[ZS_PATH_MAX + 64];
        snprintf(file, sizeof file, "%s/%s", dir, leaf);
        const int64_t v = zs_plat_read_limit(file);
        if (v > 0 && (lowest < 0 || v < lowest)) lowest = v;
        char* slash = std::strrchr(dir, '/');
        if (slash == nullptr || (size_t)(slash - dir) < std::strlen(mount)) break;
        *slash = '\0';
    }
    return lowest;
}

}  // namespace

int64_t zs_plat_cpu_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? online : 1;
}

int64_t zs_plat_memory_limit() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    int64_t limit = pages > 0 && pageSize > 0 ? (int64_t)pages * pageSize : 0;
    auto lower = [&](int64_t v) {
        if (v > 0 && (limit == 0 || v < limit)) limit = v;
    };
    // The process's own cgroup (v2: "0::/path"; v1: the line of the memory controller), and the
    // root of the hierarchy, which is all a cgroup namespace shows.
    char v2[ZS_PATH_MAX] = "", v1[ZS_PATH_MAX] = "";
    if (FILE* f = fopen("/proc/self/cgroup", "re")) {
        char line[ZS_PATH_MAX + 128];
        while (fgets(line, sizeof line, f) != nullptr) {
            line[std::strcspn(line, "\n")] = '\0';
            const char* controllers = std::strchr(line, ':');
            const char* path = controllers != nullptr ? std::strchr(controllers + 1, ':') : nullptr;
            if (path == nullptr || path[1] != '/') continue;
            const std::string_view names(controllers + 1, (size_t)(path - controllers - 1));
            const bool memory = names == "memory" || names.starts_with("memory,") || names.ends_with(",memory") ||
                                names.find(",memory,") != std::string_view::npos;
            if (names.empty() && std::strncmp(line, "0:", 2) == 0) copy_path(v2, path + 1);
            if (memory) copy_path(v1, path + 1);
        }
        fclose(f);
    }
    lower(lowest_limit("/sys/fs/cgroup", v2, "memory.max"));
    lower(lowest_limit("/sys/fs/cgroup/memory", v1, "memory.limit_in_bytes"));
    // An address-space limit (ulimit -v) bounds what the process may map at all.
    struct rlimit as;
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY && as.rlim_cur < ((rlim_t)1 << 62))
        lower((int64_t)as.rlim_cur);
    return limit;
}
