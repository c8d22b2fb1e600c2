// Allocation-failure injection: for every n, a run in which the n-th heap allocation fails must
// still end well. Either the run succeeds with the right output, or it returns 1 after printing
// why, leaving the old output in place and no new file; it never crashes, never keeps memory it
// took, and the next run in the same process works. Each armed run happens in a child process, so
// that a crash is reported with its n and command line instead of ending the test.
//
// This file replaces malloc, calloc, realloc and free (forwarding to the C library's own), which
// is why it is built without the sanitizers. Linked with the per-object pool, every pool request
// is an allocation that can fail too.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/driver.h"
#include "file_text.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {

// ---- the injecting allocator (it must not allocate itself) ----

bool armed;
long calls;   // allocation calls while armed
long failAt;  // the call that fails, from 1

// Pointers allocated while armed and not freed since: an open-addressing set.
constexpr size_t kSlots = 1 << 16;
void* live[kSlots];
void* const kGone = reinterpret_cast<void*>(1);
long liveCount;
bool tableFull;

size_t home(void* p) { return (size_t)(((uintptr_t)p >> 4) * 0x9E3779B97F4A7C15ull >> 48) & (kSlots - 1); }

void remember(void* p) {
    for (size_t i = home(p), k = 0; k < kSlots; i = (i + 1) & (kSlots - 1), k++) {
        if (live[i] == nullptr || live[i] == kGone) {
            live[i] = p;
            liveCount++;
            return;
        }
    }
    tableFull = true;
}

// True when p was allocated while armed.
bool forget(void* p) {
    if (p == nullptr || liveCount == 0) return false;
    for (size_t i = home(p), k = 0; k < kSlots && live[i] != nullptr; i = (i + 1) & (kSlots - 1), k++) {
        if (live[i] == p) {
            live[i] = kGone;
            liveCount--;
            return true;
        }
    }
    return false;
}

bool fail_now() { return armed && ++calls == failAt; }

}  // namespace

extern "C" void* malloc(size_t n) {
    if (fail_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __libc_malloc(n);
    if (p != nullptr && armed) remember(p);
    return p;
}

extern "C" void* calloc(size_t count, size_t n) {
    if (fail_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __libc_calloc(count, n);
    if (p != nullptr && armed) remember(p);
    return p;
}

extern "C" void* realloc(void* old, size_t n) {
    if (old == nullptr) return malloc(n);
    if (fail_now()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __libc_realloc(old, n);
    // The block keeps its origin: one allocated before the run is not the run's to free.
    if (p != nullptr && forget(old)) remember(p);
    return p;
}

extern "C" void free(void* p) {
    forget(p);
    __libc_free(p);
}

namespace {

// ---- runs ----

struct Case {
    const char* name;
    std::vector<std::string> args;  // after "tesra -O out"
    bool errFile;                   // the run writes the error file "err"
    const char* input = nullptr;    // the file on standard input
    const char* stream = nullptr;   // the file fed through the FIFO "stream.fifo", read once
};

const char kOldOutput[] = "output of an earlier run\n";

std::string workDir, stderrPath;

void write_file(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) {
        perror(path.c_str());
        exit(2);
    }
}

std::vector<std::string> listing(const char* dir = ".") {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string command(const Case& c) {
    std::string s = "tesra -O out";
    for (const std::string& a : c.args) s += " '" + a + "'";
    if (c.input != nullptr) s += std::string(" < ") + c.input;
    if (c.stream != nullptr) s += std::string(", stream.fifo fed from ") + c.stream;
    return s;
}

// A process that writes the file into the FIFO once a reader opens it; ended by end_feed, so that
// a run that fails before reading it all leaves no writer waiting.
pid_t feed(const char* fifo, const char* source) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    std::string data = zs_test_read_file(source);
    int fd = open(fifo, O_WRONLY);
    for (size_t at = 0; fd >= 0 && at < data.size();) {
        ssize_t n = write(fd, data.data() + at, data.size() - at);
        if (n <= 0) break;
        at += (size_t)n;
    }
    _exit(0);
}

void end_feed(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Points descriptor fd to path (opened with flags) until restore().
struct Redirect {
    int fd, saved;
    Redirect(int target, const char* path, int flags) : fd(target), saved(dup(target)) {
        int f = open(path, flags, 0600);
        if (saved < 0 || f < 0 || dup2(f, fd) < 0) {
            perror(path);
            exit(2);
        }
        close(f);
    }
    void restore() {
        dup2(saved, fd);
        close(saved);
    }
};

// The inputs every case reads, written once.
void write_inputs() {
    write_file("fixed.dat", "b003zzzzb001yyyya002xxxxc-01wwwwb003aaaaa  7vvvv");
    write_file("lines.txt", "pear 12\napple 7\nfig\napple 7\nkiwi 300\nx\nbanana -4");
    write_file("more.txt", "cherry 1\napple 7\n");
    write_file("crlf.txt", "delta\r\nalpha\r\ncharlie\r\nbravo\r\nalpha\r\n");
    write_file("a.csv",
               "city,country,pop\nLyon,France,522250\n\"Osaka, Kansai\",Japan,2753862\nParis,France,2102650\n"
               "\"Tokyo \"\"East\"\"\",Japan,13960236\nNowhere\nRome,,2873000\n");
    write_file("b.csv", "city,country,pop\nNice,France,342669\nKyoto,Japan,1464000");
    write_file("semi.csv", "b;;2\na;;\"x;;y\"\n;;\nb;;1\n");
    write_file("sorted1.txt", "a1\nb2\nc3\n");
    write_file("sorted2.txt", "a0\nb9\nd");
    write_file("sorted1.csv", "k,v\n1,x\n3,\"y,z\"\n");
    write_file("sorted2.csv", "k,v\n2,w\n4,\n");
    write_file("sorted.dat", "a1b2c3d4");
    if (mkfifo("stream.fifo", 0600) != 0) {
        perror("stream.fifo");
        exit(2);
    }
    std::string many;
    for (int i = 0; i < 1500; i++) many += std::to_string((i * 7919) % 1000) + (i % 3 ? " x\n" : " y\n");
    write_file("many.txt", many);
}

// Before every run: the inputs, an output of an earlier run, nothing else.
void reset_folder() {
    for (const std::string& n : listing()) {
        if (n.find('.') == std::string::npos) unlink(n.c_str());  // out, err
        if (n[0] == '.') unlink(n.c_str());                      // a new output left behind
    }
    write_file("out", kOldOutput);
}

struct Result {
    int rc;
    std::string out, err, messages;
    bool errExists;
};

// One run with standard error in a file; armed with a failing call when failCall > 0.
Result run(const Case& c, long failCall) {
    std::vector<std::string> text{"tesra", "-O", "out"};
    text.insert(text.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& s : text) argv.push_back(s.data());
    argv.push_back(nullptr);
    reset_folder();

    fflush(stderr);
    Redirect err(2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    Redirect in(0, c.input != nullptr ? c.input : "/dev/null", O_RDONLY);
    const pid_t feeder = c.stream != nullptr ? feed("stream.fifo", c.stream) : -1;
    calls = 0;
    failAt = failCall;
    armed = failCall > 0;
    Result r{};
    r.rc = tesra_main((int)text.size(), argv.data());
    armed = false;
    end_feed(feeder);
    in.restore();
    err.restore();
    r.out = zs_test_read_file("out");
    r.err = zs_test_read_file("err", &r.errExists);
    r.messages = zs_test_read_file(stderrPath);
    return r;
}

// The first line of standard error that says why the run failed: it starts with the error mark
// (the UTF-8 star, U+2606, is 0x81 0x99 in code page 932) and is not the start or end line.
std::string failure_line(const std::string& messages) {
    const std::string mark = "\x81\x99";
    size_t at = 0;
    while (at < messages.size()) {
        size_t end = messages.find('\n', at);
        std::string line = messages.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.compare(0, mark.size(), mark) == 0 && line != mark + " tesra start..." && line != mark + " tesra end.")
            return line;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return "";
}

enum ChildCode { kPassed = 0, kFailed = 1, kNotReached = 3 };

// The tests run under this file-creation mask: files the run creates must get 0600, and the
// output it replaces keeps its 0600.
constexpr mode_t kUmask = 077;

int mode_of(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? (int)(st.st_mode & 07777) : -1;
}


// The child's part: the armed run and every check of it. Prints what went wrong.
int armed_run(const Case& c, long n, const Result& expected, const std::vector<std::string>& files) {
    Result r = run(c, n);
    const bool reached = calls >= n;
    const long leaked = liveCount;
    std::vector<std::string> problems;
    if (r.rc == 0) {
        if (r.out != expected.out) problems.push_back("result 0 but the output differs");
        if (c.errFile && (!r.errExists || r.err != expected.err)) problems.push_back("result 0 but the error file differs");
        if (mode_of("out") != 0600) problems.push_back("result 0 but the output lost its permission bits");
        if (c.errFile && mode_of("err") != 0600)
            problems.push_back("result 0 but the new error file is not created under the umask");
    } else if (r.rc == 1) {
        if (failure_line(r.messages).empty()) problems.push_back("result 1 without a failure message");
        if (r.out != kOldOutput) problems.push_back("result 1 but the earlier output was changed");
        if (listing() != files) problems.push_back("result 1 but files were left behind or removed");
    } else {
        problems.push_back("result " + std::to_string(r.rc));
    }
    if (!listing("../temp").empty()) problems.push_back("a temporary file was left behind");
    if (tableFull) problems.push_back("too many live allocations to track");
    if (leaked > 0) problems.push_back(std::to_string(leaked) + " allocation(s) of the run still live after it");
    // The process is fit for another run.
    Result again = run(c, 0);
    if (again.rc != 0 || again.out != expected.out) problems.push_back("the next run in the process fails or differs");
    if (getenv("TESRA_ALLOC_VERBOSE") != nullptr)
        fprintf(stderr, "n=%ld%s: result %d %s\n", n, reached ? "" : " (not reached)", r.rc, failure_line(r.messages).c_str());
    for (const std::string& p : problems)
        fprintf(stderr, "FAIL n=%ld [%s]: %s\n", n, command(c).c_str(), p.c_str());
    if (!problems.empty()) {
        fprintf(stderr, "  standard error of the run:\n%s\n", r.messages.c_str());
        return kFailed;
    }
    return reached ? kPassed : kNotReached;
}

// Fails each allocation of the case's run in turn; returns the number of failing n.
int scan_case(const Case& c, long* runs) {
    Result expected = run(c, 0);
    if (expected.rc != 0 || expected.out == kOldOutput || (c.errFile && expected.err.empty())) {
        fprintf(stderr, "FAIL [%s]: the run without injection does not give a usable output (result %d)\n%s\n",
                command(c).c_str(), expected.rc, expected.messages.c_str());
        return 1;
    }
    reset_folder();
    const std::vector<std::string> files = listing();
    int failures = 0;
    long n = 1;
    for (;; n++) {
        if (n > 100000) {
            fprintf(stderr, "FAIL [%s]: still allocating after %ld calls\n", command(c).c_str(), n);
            return failures + 1;
        }
        fflush(stdout);
        fflush(stderr);
        pid_t pid = fork();
        if (pid < 0) {
            perror("fork");
            exit(2);
        }
        if (pid == 0) {
            alarm(30);  // a run that hangs ends as a crash
            _exit(armed_run(c, n, expected, files));
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) {
            perror("waitpid");
            exit(2);
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == kNotReached) break;
        if (WIFEXITED(status) && WEXITSTATUS(status) == kPassed) continue;
        failures++;
        if (WIFSIGNALED(status))
            fprintf(stderr, "FAIL n=%ld [%s]: crashed with signal %d (%s)\n", n, command(c).c_str(), WTERMSIG(status),
                    strsignal(WTERMSIG(status)));
    }
    *runs += n;
    printf("  %-28s %4ld allocations, each failed in turn: %s\n", c.name, n - 1, failures == 0 ? "ok" : "FAILED");
    return failures;
}

}  // namespace

int main() {
    // Messages in English; the error mark is converted to code page 932 all the same.
    setenv("LC_ALL", "C", 1);
    unsetenv("LANG");
    umask(kUmask);
    char base[] = "/tmp/tesra-alloc-XXXXXX";
    if (mkdtemp(base) == nullptr) {
        perror("mkdtemp");
        return 2;
    }
    workDir = std::string(base) + "/work";
    stderrPath = std::string(base) + "/stderr.txt";
    if (mkdir(workDir.c_str(), 0700) != 0 || mkdir((std::string(base) + "/temp").c_str(), 0700) != 0 ||
        chdir(workDir.c_str()) != 0) {
        perror(workDir.c_str());
        return 2;
    }
    write_inputs();

    const std::vector<Case> cases = {
        {"fixed, keys", {"-L", "8", "-K", "0,1", "-K", "1,3nd", "fixed.dat"}, false},
        {"fixed, -R -S -U", {"-L", "8", "-R", "-S", "-U", "fixed.dat", "fixed.dat"}, false},
        {"lines, two files", {"-K", "0,2", "lines.txt", "more.txt"}, false},
        {"lines, \\r\\n, -R", {"-P", "\\r\\n", "-R", "crlf.txt"}, false},
        {"lines, -S -U", {"-S", "-U", "-K", "0,1", "lines.txt"}, false},
        {"lines, -E", {"-K", "4,3", "-E", "err", "lines.txt"}, true},
        {"lines, 1500 records", {"-S", "-K", "0,3n", "many.txt"}, false},
        {"CSV, -H and keys", {"-C", "-H", "-K", "2", "-K", "3nd", "a.csv", "b.csv"}, false},
        {"CSV, -S -U -N", {"-C", "-H", "-S", "-U", "-N", "-K", "2", "a.csv"}, false},
        {"CSV, -E", {"-C", "-H", "-K", "3n", "-E", "err", "a.csv"}, true},
        {"CSV, delimiter, whole", {"-C", "-D", ";;", "-A", "semi.csv"}, false},
        // A budget below the input's need: the temporary-file mode (split sort, merge).
        {"temp file, fixed", {"-W", "1K", "-T", "../temp", "-L", "8", "-K", "0,4d", "fixed.dat"}, false},
        {"temp file, lines -S -U", {"-W", "1K", "-T", "../temp", "-S", "-U", "-K", "0,1", "lines.txt", "more.txt"}, false},
        {"temp file, CSV -H -E", {"-W", "1K", "-T", "../temp", "-C", "-H", "-K", "3n", "-E", "err", "a.csv", "b.csv"}, true},
        // Standard input, and the merge of presorted inputs.
        {"stdin, lines", {"-K", "0,2"}, false, "lines.txt"},
        {"stdin, CSV -H -U", {"-T", "../temp", "-C", "-H", "-U", "-K", "2"}, false, "a.csv"},
        {"-M lines", {"-M", "-K", "0,1", "sorted1.txt", "sorted2.txt"}, false},
        {"-M CSV -H", {"-M", "-C", "-H", "-K", "1n", "sorted1.csv", "sorted2.csv"}, false},
        {"-M fixed -U", {"-M", "-U", "-L", "2", "-K", "0,1", "sorted.dat", "sorted.dat"}, false},
        // A FIFO among the inputs: read once, to its end, its header line taken from its data.
        {"stream, CSV -H", {"-T", "../temp", "-C", "-H", "-K", "2", "stream.fifo", "b.csv"}, false, nullptr, "a.csv"},
        {"stream, lines -W", {"-W", "1K", "-T", "../temp", "-K", "0,2", "lines.txt", "stream.fifo"}, false, nullptr,
         "many.txt"},
        {"-M stream CSV -H", {"-M", "-C", "-H", "-K", "1n", "stream.fifo", "sorted2.csv"}, false, nullptr, "sorted1.csv"},
        {"-M stream fixed", {"-M", "-L", "2", "-K", "0,1", "sorted.dat", "stream.fifo"}, false, nullptr, "sorted.dat"},
    };

    // One run first, so that what the process sets up once (the code page converter, standard
    // streams) is in place before anything is counted.
    run(cases[0], 0);

    int failures = 0;
    long runs = 0;
    for (const Case& c : cases) failures += scan_case(c, &runs);
    printf("allocation-failure injection: %ld runs, %d failed\n", runs, failures);

    chdir("/");
    std::string cleanup = "rm -rf '" + std::string(base) + "'";
    if (system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", base);
    return failures == 0 ? 0 : 1;
}
