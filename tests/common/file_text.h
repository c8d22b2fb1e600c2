// Shared by the unit tests, the allocation-failure injection and the fuzz targets.
#pragma once

#include <cstdio>
#include <string>

// The whole content of a file; empty (and *exists false) when it cannot be opened.
inline std::string zs_test_read_file(const std::string& path, bool* exists = nullptr) {
    std::string s;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (exists != nullptr) *exists = f != nullptr;
    if (f == nullptr) return s;
    char b[65536];
    size_t n;
    while ((n = std::fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
    std::fclose(f);
    return s;
}
