// Fuzz target: whole runs of the engine. The input is options, their texts separated by NUL bytes,
// then three NUL bytes and the content of the first input file, optionally three NUL bytes more
// and the content of a second. The run starts from "-O out" in a private folder, so records never
// go to standard output, and names the input files last.
//
// A run must end with 0 or 1, give back every descriptor and every byte, return the process-wide
// state to its initial value, remove its temporary file, and after a failure leave the folder as
// it found it.
#include <cstddef>
#include <cstdlib>
#include <set>

#include "engine/driver.h"
#include "file_text.h"
#include "fuzz_support.h"
#include "settings/settings.h"

namespace {

constexpr char kSep[] = {0, 0, 0};

// Position of the next three-NUL separator at or after from, or n.
size_t next_sep(const uint8_t* data, size_t n, size_t from) {
    for (size_t i = from; i + 3 <= n; i++)
        if (std::memcmp(data + i, kSep, 3) == 0) return i;
    return n;
}

// Names in a folder ("." for the working folder), folders marked with a trailing '/'.
std::set<std::string> listing(const char* dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            struct stat st;
            std::string path = std::string(dir) + "/" + n;
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) n += "/";
            names.insert(n);
        }
        closedir(d);
    }
    return names;
}

// Empties the working folder but for its subfolder "d" (emptied too) and writes the inputs.
void lay_out(const std::vector<std::string>& files) {
    for (const char* dir : {".", "d"}) {
        for (const std::string& n : listing(dir)) {
            std::string path = std::string(dir) + "/" + n;
            if (n.back() != '/')
                unlink(path.c_str());
            else if (n != "d/")
                zs_fuzz::remove_tree(path.substr(0, path.size() - 1));
        }
    }
    for (size_t i = 0; i < files.size(); i++) zs_fuzz::write_file("in" + std::to_string(i + 1), files[i]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zs_fuzz::setup();
    // A run without input files would read standard input.
    int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) != 0) abort();
    close(null);
    if (mkdir("d", 0700) != 0) abort();
    // Several threads taking even these small inputs apart (unless the caller chose otherwise).
    setenv("TESRA_THREADS", "3", 0);
    setenv("TESRA_PARALLEL_MIN", "1", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    size_t argsEnd = next_sep(data, size, 0);
    std::vector<std::string> files;
    if (argsEnd < size) {
        size_t from = argsEnd + 3;
        size_t fileEnd = next_sep(data, size, from);
        files.emplace_back(reinterpret_cast<const char*>(data) + from, fileEnd - from);
        if (fileEnd < size) files.emplace_back(reinterpret_cast<const char*>(data) + fileEnd + 3, size - fileEnd - 3);
    } else {
        files.emplace_back();
    }

    zs_fuzz::Argv args;
    args.text.push_back("-O");
    args.text.push_back("out");
    if (argsEnd > 0) zs_fuzz::split_args(data, argsEnd, &args, 40);
    if (!zs_fuzz::stays_inside(args)) return 0;
    bool namesTemp = false;  // an argument that looks like a file the engine writes for itself
    for (const std::string& a : args.text) namesTemp |= a.find("tesra") != std::string::npos;
    for (size_t i = 0; i < files.size(); i++) args.text.push_back("in" + std::to_string(i + 1));
    char** argv = args.build();

    lay_out(files);
    const std::set<std::string> before = listing(".");
    const int freeFd = zs_fuzz::lowest_free_fd();
    int rc;
    {
        zs_fuzz::Quiet quiet;
        rc = tesra_main(args.argc(), argv);
    }
    ZS_FUZZ_CHECK(rc == 0 || rc == 1);
    ZS_FUZZ_CHECK(zs_fuzz::lowest_free_fd() == freeFd);

    if (rc == 1) {
        // Nothing lost and nothing left: the inputs as they were, no new file.
        ZS_FUZZ_CHECK(listing(".") == before && listing("d").empty());
        for (size_t i = 0; i < files.size(); i++) ZS_FUZZ_CHECK(zs_test_read_file("in" + std::to_string(i + 1)) == files[i]);
    } else if (!namesTemp) {
        // Outputs are written beside their targets under a ".NAME.tesra-XXXXXX" name until put in
        // place; the temporary file loses its name as soon as it is open.
        for (const char* dir : {".", "d"})
            for (const std::string& n : listing(dir)) ZS_FUZZ_CHECK(n.find("tesra") == std::string::npos);
    }
    return 0;
}
