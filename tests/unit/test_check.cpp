#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/platform.h"
#include "settings_test_util.h"

namespace fs = std::filesystem;

class Check : public SettingsTest {
protected:
    std::string dir;  // a fresh folder per case; also the temporary folder
    std::unique_ptr<Argv> argv;

    void SetUp() override {
        SettingsTest::SetUp();
        char tmpl[] = "/tmp/tesra_check_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("TEMP", dir.c_str(), 1);
        zs_run.processId = 4242;
    }
    void TearDown() override {
        SettingsTest::TearDown();
        zs_run.processId = 0;
        fs::remove_all(dir);
    }
    std::string file(const std::string& name, uintmax_t size) {
        std::string p = dir + "/" + name;
        std::ofstream(p).close();
        fs::resize_file(p, size);  // sparse: large sizes cost nothing
        return p;
    }
    // Loads (which must succeed) and checks; the check's standard error goes to *err.
    int check(const std::vector<std::string>& args, std::string* err = nullptr) {
        argv = std::make_unique<Argv>(args);  // sep and delimiter refer into it
        EXPECT_EQ(load(*argv), 0);
        testing::internal::CaptureStderr();
        int rc = zs_args_check(&zs_args);
        std::string e = testing::internal::GetCapturedStderr();
        if (err != nullptr) *err = e;
        return rc;
    }
};

TEST_F(Check, NewlineCodes) {
    struct {
        std::vector<std::string> args;
        const char* sep;
        int32_t sepLen;
    } ok[] = {{{}, "\n", 1}, {{"-P", "\\r\\n"}, "\r\n", 2}, {{"-P", "\\n"}, "\n", 1},
              {{"-P", "\\r"}, "\r", 1}, {{"-L", "80", "-P", "xyz"}, "xyz", 0}};
    for (auto& c : ok) {
        clean();
        ASSERT_EQ(check(c.args), 0);
        EXPECT_STREQ(zs_args.sep, c.sep);
        EXPECT_EQ(zs_args.sepLen, c.sepLen);
        EXPECT_EQ(zs_args.bFixVar, c.sepLen == 0 ? 1 : 2);
    }
    clean();
    std::string err;
    EXPECT_EQ(check({"-P", "\\n\\r"}, &err), 1);
    EXPECT_EQ(err, cp932("☆ Invalid newline code [\\n\\r]!\n"));
}

TEST_F(Check, Delimiters) {
    ASSERT_EQ(check({"-C"}), 0);
    EXPECT_STREQ(zs_args.delimiter, ",");
    EXPECT_EQ(zs_args.delimLen, 1);
    clean();
    ASSERT_EQ(check({"-C", "-D", "\\t"}), 0);
    EXPECT_STREQ(zs_args.delimiter, "\t");
    EXPECT_EQ(zs_args.delimLen, 1);
    clean();
    ASSERT_EQ(check({"-C", "-D", ";;"}), 0);
    EXPECT_EQ(zs_args.delimLen, 2);
    clean();
    ASSERT_EQ(check({"-D", "\\t"}), 0);  // not CSV: untouched
    EXPECT_STREQ(zs_args.delimiter, "\\t");
    EXPECT_EQ(zs_args.delimLen, 0);
    clean();
    ASSERT_EQ(check({"-C", "-L", "10", "-D", "\\t"}), 0);  // fixed-length wins
    EXPECT_EQ(zs_args.bCsv, 1);
    EXPECT_EQ(zs_args.layout, ZS_FIXED);
    EXPECT_STREQ(zs_args.delimiter, "\\t");
    EXPECT_EQ(zs_args.delimLen, 0);
    EXPECT_EQ(zs_args.sepLen, 0);
}

TEST_F(Check, ByteKeys) {
    std::string err;
    ASSERT_EQ(check({"-K", "0,10", "-K", "20,5d"}), 0);
    EXPECT_EQ(zs_args.keyMaxPos, 25);
    const SortKey& k = zs_args.arrSortKey[1];
    EXPECT_STREQ(k.cmt, "20,5");
    EXPECT_EQ(k.pos, 20);
    EXPECT_EQ(k.len, 5);
    EXPECT_EQ(k.seq, ZS_DESC);
    EXPECT_EQ(k.type, ZS_KEY_BYTES);
    EXPECT_EQ(zs_args.bRecSort, 0);

    clean();
    EXPECT_EQ(check({"-K", "5"}, &err), 1);
    EXPECT_EQ(err, cp932("ソートキー[5]指定不正！\n"));

    struct {
        const char* key;
        int rc;
    } range[] = {{"2147483646,1", 0}, {"2147483647,1", 1}, {"2000000000,2000000000", 1}, {"99999999999,0", 1}};
    for (auto& c : range) {
        clean();
        EXPECT_EQ(check({"-K", "1,1", "-K", c.key}, &err), c.rc) << c.key;
        EXPECT_EQ(err, c.rc ? cp932("☆ Sort key 2 is invalid!\n") : "") << c.key;
    }

    // Fixed-length: every key inside the record; -C does not change the key grammar.
    clean();
    EXPECT_EQ(check({"-L", "10", "-K", "0,1", "-K", "5,6"}, &err), 1);
    EXPECT_EQ(err, cp932("☆ Sort key 2 is invalid!\n"));
    clean();
    ASSERT_EQ(check({"-C", "-L", "10", "-K", "4,6n"}), 0);
    EXPECT_EQ(zs_args.arrSortKey[0].len, 6);
    EXPECT_EQ(zs_args.arrSortKey[0].type, ZS_KEY_NUMERIC);
    EXPECT_EQ(zs_args.keyMaxPos, 10);
    clean();
    EXPECT_EQ(check({"-C", "-L", "10", "-K", "3"}, &err), 1);
    EXPECT_EQ(err, cp932("ソートキー[3]指定不正！\n"));
}

TEST_F(Check, CsvKeysAndSuffixQuirks) {
    struct {
        const char* key;
        int32_t pos, type, seq;
        const char* cmt;
    } ok[] = {
        {"3nd", 3, ZS_KEY_NUMERIC, ZS_DESC, "3"}, {"3dn", 3, ZS_KEY_NUMERIC, ZS_ASC, "3d"},
        {"3tnA", 3, ZS_KEY_TEXT, ZS_ASC, "3"},    {"3 n d", 3, ZS_KEY_BYTES, ZS_DESC, "3 n "},
        {"2147483647", 2147483647, ZS_KEY_BYTES, ZS_ASC, "2147483647"},
    };
    for (auto& c : ok) {
        clean();
        ASSERT_EQ(check({"-C", "-K", c.key}), 0) << c.key;
        const SortKey& k = zs_args.arrSortKey[0];
        EXPECT_EQ(k.pos, c.pos) << c.key;
        EXPECT_EQ(k.len, 0);
        EXPECT_EQ(k.type, c.type) << c.key;
        EXPECT_EQ(k.seq, c.seq) << c.key;
        EXPECT_STREQ(k.cmt, c.cmt);
        EXPECT_EQ(zs_args.keyMaxPos, 0);
    }
    for (const char* bad : {"0", "", "d", "+3", "2147483648"}) {
        clean();
        std::string err;
        EXPECT_EQ(check({"-C", "-K", bad}, &err), 1) << bad;
        EXPECT_EQ(err, cp932("☆ Sort key 1 is invalid!\n")) << bad;
    }
}

TEST_F(Check, WholeRecordSort) {
    ASSERT_EQ(check({"-A", "-K", "1,2", "-K", "x"}), 0);  // keys ignored, never parsed
    EXPECT_EQ(zs_args.keyNums, 0);
    EXPECT_EQ(zs_args.keyAlloc, 2);
    EXPECT_EQ(zs_args.bRecSort, 1);
    clean();
    ASSERT_EQ(check({}), 0);
    EXPECT_EQ(zs_args.bRecSort, 1);
    EXPECT_EQ(zs_args.bMemory, 1);
    clean();
    ASSERT_EQ(check({"-W", "64M"}), 0);
    EXPECT_EQ(zs_args.bMemory, 0);
}

TEST_F(Check, InputFilesSizesAndTotals) {
    std::string a = file("a.dat", 1000), b = file("b.dat", 500), odd = file("odd.dat", 1050);
    ASSERT_EQ(check({"-L", "100", a, b}), 0);
    EXPECT_EQ(zs_args.totalRecNum, 15);
    EXPECT_EQ(zs_args.totalFileSize, 1500);
    EXPECT_EQ(zs_args.arrInFile[1].size, 500);
    EXPECT_EQ(zs_args.arrInFile[0].dir, dir + "/");
    EXPECT_STREQ(zs_args.arrInFile[0].fileName, "a.dat");

    std::string err;
    clean();
    EXPECT_EQ(check({"-L", "100", odd}, &err), 1);
    EXPECT_EQ(err, cp932("☆ Invalid size [1050] for input file 1!\n"));
    clean();
    setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(check({"-L", "100", odd}, &err), 1);
    EXPECT_EQ(err, cp932("☆入力ファイル1のサイズ[1050]は不正です！\n"));
    setenv("LC_ALL", "C", 1);

    for (const std::string& bad : {dir + "/missing", dir}) {  // missing, or a folder
        clean();
        EXPECT_EQ(check({a, bad}, &err), 1);
        EXPECT_EQ(err, cp932(("☆ Failed to stat input file 2 [" + bad + "]!\n").c_str()));
    }

    // 2 GiB and beyond is refused, alone or as a running total, naming the file that reaches it.
    std::string big = file("big", (uintmax_t)1 << 31), half = file("half", (uintmax_t)1 << 30),
                almost = file("almost", ((uintmax_t)1 << 31) - 1);
    clean();
    EXPECT_EQ(check({big}, &err), 1);
    EXPECT_EQ(err, cp932(("☆ Input data of 2GB or more cannot be sorted [" + big + "]!\n").c_str()));
    clean();
    EXPECT_EQ(check({half, a, half}, &err), 1);
    EXPECT_NE(err.find("[" + half + "]"), std::string::npos);
    clean();
    EXPECT_EQ(check({half, half}, &err), 1);
    clean();
    ASSERT_EQ(check({almost}), 0);
    EXPECT_EQ(zs_args.totalFileSize, INT32_MAX);
}

TEST_F(Check, OutputErrorAndTemporaryFolders) {
    std::string err, nope = dir + "/nope/";
    ASSERT_EQ(check({"-O", "out.txt", "-E", dir + "/err.txt"}), 0);
    EXPECT_EQ(zs_args.outFile.dir, nullptr);
    EXPECT_STREQ(zs_args.outFile.fileName, "out.txt");
    EXPECT_STREQ(zs_args.errFile.fileName, "err.txt");
    std::string tmp = dir + "/tesra_4242.tmp";
    EXPECT_STREQ(zs_args.tmpFile.path, tmp.c_str());
    EXPECT_STREQ(zs_args.tmpFile.fileName, "tesra_4242.tmp");
    EXPECT_FALSE(fs::exists(tmp));  // nothing is created

    clean();
    EXPECT_EQ(check({"-O", nope + "o"}, &err), 1);
    EXPECT_EQ(err, cp932(("☆ Output folder [" + nope + "] does not exist or insufficient permissions!\n").c_str()));
    clean();
    EXPECT_EQ(check({"-E", nope + "e"}, &err), 1);
    EXPECT_EQ(err, cp932(("☆ Error folder [" + nope + "] does not exist or insufficient permissions!\n").c_str()));
    clean();
    EXPECT_EQ(check({"-T", dir + "/nope"}, &err), 1);
    EXPECT_EQ(err, cp932(("☆ Temporary folder [" + nope + "] does not exist or insufficient permissions!\n").c_str()));

    clean();
    ASSERT_EQ(check({"-T", dir + "/"}), 0);  // a second separator, as given
    EXPECT_EQ(zs_args.tmpFile.path, dir + "//tesra_4242.tmp");
    EXPECT_EQ(zs_args.tmpFile.dir, dir + "//");

    clean();
    unsetenv("TEMP");
    unsetenv("TMPDIR");
    ASSERT_EQ(check({}), 0);
    EXPECT_STREQ(zs_args.tmpFile.path, "/tmp/tesra_4242.tmp");
}

TEST_F(Check, ErrorFileMustNotOverwriteInputOrOutput) {
    std::string in = file("in.txt", 10), err;
    struct {
        std::vector<std::string> args;
        std::string errPath;  // empty: accepted
    } cases[] = {
        {{"-E", in, in}, in},
        {{"-E", dir + "/./in.txt", in}, dir + "/./in.txt"},        // another spelling, same file
        {{"-O", dir + "/o", "-E", dir + "/o"}, dir + "/o"},         // neither exists yet
        {{"-O", dir + "/o", "-E", dir + "/e", in}, ""},
        {{"-O", in, in}, ""},                                      // -O over an input stays allowed
    };
    for (auto& c : cases) {
        clean();
        EXPECT_EQ(check(c.args, &err), c.errPath.empty() ? 0 : 1) << c.args[1];
        EXPECT_EQ(err, c.errPath.empty() ? "" : cp932(("☆ Cannot create error file [" + c.errPath + "]!\n").c_str()));
    }
}

// Names longer than the platform's path limit: nothing read past what was written, no file made.
TEST_F(Check, PathsLongerThanThePathLimit) {
    std::string in = file("in.txt", 10), longName = dir + "/" + std::string(5000, 'x');
    char out[ZS_PATH_MAX];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(zs_plat_resolve(longName.c_str(), out), -1);
    EXPECT_NE(std::memchr(out, '\0', sizeof out), nullptr);
    EXPECT_EQ(zs_plat_same_file(longName.c_str(), in.c_str()), 0);
    EXPECT_EQ(zs_plat_same_file(longName.c_str(), longName.c_str()), 1);
    ZsOutFile o;
    errno = 0;
    EXPECT_EQ(zs_plat_out_open(longName.c_str(), &o), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(Check, VerboseLines) {
    std::string err;
    zs_run.bVerbose = 1;
    ASSERT_EQ(check({"-K", "20,5d"}, &err), 0);
    for (const char* line : {"\n--- 引数のチェック処理は開始します。--- \n", "出力ファイル名: (null)\n",
                             "ソートキー1(Desc)は: 20,5\n", "ソートキー1(Desc)の長さは: 5\n"})
        EXPECT_NE(err.find(cp932(line)), std::string::npos) << line;
    EXPECT_NE(err.find("Error file name: (null)\n"), std::string::npos);
    EXPECT_NE(err.find(cp932(("一時パス: " + dir + "/tesra_4242.tmp\n").c_str())), std::string::npos);

    clean();
    zs_run.bVerbose = 1;
    ASSERT_EQ(check({"-E", dir + "/e"}, &err), 0);
    size_t first = err.find("Error file name: e\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(err.find("Error file name: e\n", first + 1), std::string::npos);  // printed twice
}
