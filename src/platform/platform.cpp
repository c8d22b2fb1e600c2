#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

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

int zs_plat_file_size(const char* path, int64_t* size) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    *size = (int64_t)st.st_size;
    return 0;
}

int zs_plat_access(const char* path, int mode) {
    int m = mode == 6 ? (R_OK | W_OK) : F_OK;
    return path != nullptr && access(path, m) == 0 ? 0 : -1;
}

int zs_plat_same_file(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return 0;
    struct stat sa, sb;
    bool ea = stat(a, &sa) == 0, eb = stat(b, &sb) == 0;
    if (ea && eb) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (ea || eb) return 0;
    // Neither exists yet: both would be created as the same entry of the same folder.
    const char* na = std::strrchr(a, ZS_PATH_SEP);
    const char* nb = std::strrchr(b, ZS_PATH_SEP);
    na = na ? na + 1 : a;
    nb = nb ? nb + 1 : b;
    if (std::strcmp(na, nb) != 0) return 0;
    char da[4096], db[4096];
    auto folder = [](const char* p, const char* name, char* out) {
        size_t n = (size_t)(name - p);
        if (n == 0) {
            std::strcpy(out, ".");
            return true;
        }
        if (n >= 4096) return false;
        std::memcpy(out, p, n);
        out[n] = '\0';
        return true;
    };
    if (!folder(a, na, da) || !folder(b, nb, db)) return 0;
    if (stat(da, &sa) != 0 || stat(db, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int zs_plat_unlink(const char* path) { return unlink(path); }

const char* zs_plat_temp_dir() {
    static const char* const names[] = {"TEMP", "TMPDIR"};
    const char* dir = first_env(names, 2);
    return dir != nullptr ? dir : "/tmp";
}
