// Shared helpers of the option and argument-check tests: writable argument vectors, a clean
// settings record, totals and log per case, and captured standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/msg.h"
#include "settings/settings.h"

// argv[0] is "tesra"; the texts are writable because the scanner trims values in place.
struct Argv {
    std::vector<std::string> text;
    std::vector<char*> ptr;
    Argv(std::initializer_list<std::string> args) : Argv(std::vector<std::string>(args)) {}
    explicit Argv(const std::vector<std::string>& args) : text{"tesra"} {
        text.insert(text.end(), args.begin(), args.end());
        for (auto& s : text) ptr.push_back(s.data());
        ptr.push_back(nullptr);
    }
    Argv(const Argv&) = delete;  // ptr points into text
    Argv& operator=(const Argv&) = delete;
    int argc() const { return (int)text.size(); }
    char** argv() { return ptr.data(); }
};

// The bytes a UTF-8 message reaches the console with.
inline std::string cp932(const char* utf8) {
    char buf[ZS_MSG_BUF];
    zs_to_console(utf8, buf);
    return buf;
}

inline constexpr int kRejected = 1;
inline constexpr int kVersionShown = 2;

// Every case has a settings record, totals and a log of its own, as a run has.
class SettingsTest : public testing::Test {
protected:
    ZsLog log{};
    ArgsInfo args{};
    ZsTotals totals{};

    void SetUp() override {
        setenv("LC_ALL", "C", 1);
        clean();
    }
    void TearDown() override { clean(); }
    void clean() {
        zs_args_free(&args);
        totals = ZsTotals{};
        log.bVerbose = 0;
    }
    // Loads argv and returns the result (kVersionShown when -V '' ended the loading); the
    // standard error text goes to *err.
    int load(Argv& a, std::string* err = nullptr) {
        testing::internal::CaptureStderr();
        bool done = false;
        int rc = zs_args_load(log, &args, a.argc(), a.argv(), &done);
        if (rc == 0 && done) rc = kVersionShown;
        std::string e = testing::internal::GetCapturedStderr();
        if (err != nullptr) *err = e;
        return rc;
    }
};
