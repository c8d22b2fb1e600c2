// Shared by the fuzz targets: a private working folder, quiet standard streams during an engine
// call, argument vectors cut from the fuzz input, and the checks that trap on a disagreement.
#pragma once

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

// A finding: the fuzzer reports the input that led here.
#define ZS_FUZZ_CHECK(cond)               \
    do {                                  \
        if (!(cond)) __builtin_trap();    \
    } while (0)

namespace zs_fuzz {

inline std::string& folder() {
    static std::string dir;
    return dir;
}

inline void remove_tree(const std::string& path) {
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            std::string p = path + "/" + e->d_name;
            struct stat st;
            if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(p);
            else
                unlink(p.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

inline void write_file(const std::string& name, const void* data, size_t n) {
    FILE* f = fopen(name.c_str(), "wb");
    if (f == nullptr) abort();
    if (n > 0 && fwrite(data, 1, n, f) != n) abort();
    if (fclose(f) != 0) abort();
}

inline void write_file(const std::string& name, const std::string& text) { write_file(name, text.data(), text.size()); }

// Sanitizer reports go to a copy of the original standard error, so that they stay visible while
// descriptor 2 points to /dev/null during an engine call.
inline int& saved_stderr() {
    static int fd = -1;
    return fd;
}

// Once per process: a private folder becomes the working directory and the temporary folder
// (every relative name the engine is given lands there; it is removed at exit), messages in
// English, sanitizer reports kept visible.
inline void setup() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tesra-fuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr || chdir(buf.data()) != 0) abort();
    folder() = buf.data();
    atexit([] { remove_tree(folder()); });
    setenv("LC_ALL", "C", 1);
    setenv("TEMP", folder().c_str(), 1);  // the temporary file of a run lands here too
    saved_stderr() = dup(2);
    if (saved_stderr() >= 0) __sanitizer_set_report_fd(reinterpret_cast<void*>((intptr_t)saved_stderr()));
}

// Standard output and standard error point to /dev/null while it lives, so that the engine's
// messages (thousands per second) do not bury the fuzzer's. TESRA_FUZZ_VERBOSE=1 keeps them,
// for reproducing a finding.
class Quiet {
public:
    Quiet() {
        if (getenv("TESRA_FUZZ_VERBOSE") != nullptr) return;
        fflush(stdout);
        fflush(stderr);
        null_ = open("/dev/null", O_WRONLY | O_CLOEXEC);
        out_ = dup(1);
        err_ = dup(2);
        if (null_ < 0 || out_ < 0 || err_ < 0) abort();
        dup2(null_, 1);
        dup2(null_, 2);
    }
    ~Quiet() {
        if (null_ < 0) return;
        fflush(stdout);
        fflush(stderr);
        dup2(out_, 1);
        dup2(err_, 2);
        close(out_);
        close(err_);
        close(null_);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    int null_ = -1, out_ = -1, err_ = -1;
};

// Writable argument texts (the scanner trims values in place) and their vector; argv[0] is
// "tesra" and argv[argc] is null.
struct Argv {
    std::vector<std::string> text{"tesra"};
    std::vector<char*> ptr;
    char** build() {
        ptr.clear();
        for (std::string& s : text) ptr.push_back(s.data());
        ptr.push_back(nullptr);
        return ptr.data();
    }
    int argc() const { return (int)text.size(); }
};

// Appends the NUL-separated texts of data to args, at most maxArgs of them.
inline void split_args(const uint8_t* data, size_t n, Argv* args, size_t maxArgs) {
    size_t start = 0;
    for (size_t i = 0; i <= n && args->text.size() <= maxArgs; i++) {
        if (i == n || data[i] == 0) {
            args->text.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
            start = i + 1;
        }
    }
}

inline bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// True when s, as the scanner trims it, is an absolute path.
inline bool absolute(const char* s) {
    while (is_blank(*s)) s++;
    return *s == '/';
}

// True when no argument can name a file outside the working folder: no absolute path (alone or
// as an option's attached value) and no "..". Other inputs are skipped, not fuzzed.
inline bool stays_inside(const Argv& args) {
    static const char valued[] = "VvWwLlPpDdTtKkOoEe";
    for (const std::string& a : args.text) {
        if (a.find("..") != std::string::npos || absolute(a.c_str())) return false;
        if (a.size() < 2 || a[0] != '-') continue;
        for (size_t i = 1; i < a.size(); i++) {
            if (std::strchr(valued, a[i]) != nullptr && a[i] != '\0') {
                if (absolute(a.c_str() + i + 1)) return false;
                break;
            }
        }
    }
    return true;
}

// True when every byte of the record is zero (the run state and the settings between runs).
template <class T>
bool all_zero(const T* p, size_t n = sizeof(T)) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i] != 0) return false;
    return true;
}

// The lowest free descriptor: the same before and after a run unless the run left one open.
inline int lowest_free_fd() {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    return fd;
}

}  // namespace zs_fuzz
