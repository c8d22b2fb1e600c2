#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "platform/platform.h"
#include "settings_test_util.h"

namespace fs = std::filesystem;

class Check : public SettingsTest {
protected:
    std::string dir;  // a fresh folder per case; also the temporary folder
    std::unique_ptr<Argv> argv;

    // The temporary-folder variables as the process had them: later tests must not see ours.
    std::optional<std::string> savedTemp, savedTmpdir;
    static std::optional<std::string> env(const char* name) {
        const char* v = getenv(name);
        return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
    }
    static void restore(const char* name, const std::optional<std::string>& v) {
        if (v) setenv(name, v->c_str(), 1);
        else unsetenv(name);
    }

    void SetUp() override {
        SettingsTest::SetUp();
        savedTemp = env("TEMP");
        savedTmpdir = env("TMPDIR");
        char tmpl[] = "/tmp/tesra_check_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("TEMP", dir.c_str(), 1);
        log.processId = 4242;
    }
    void TearDown() override {
        SettingsTest::TearDown();
        restore("TEMP", savedTemp);
        restore("TMPDIR", savedTmpdir);
        fs::remove_all(dir);
    }
    std::string file(const std::string& name, uintmax_t size) {
        std::string p = dir + "/" + name;
        std::ofstream(p).close();
        fs::resize_file(p, size);  // sparse: large sizes cost nothing
        return p;
    }
    // Loads (which must succeed) and checks; the check's standard error goes to *err.
    int check(const std::vector<std::string>& words, std::string* err = nullptr) {
        argv = std::make_unique<Argv>(words);  // sep and delimiter refer into it
        EXPECT_EQ(load(*argv), 0);
        testing::internal::CaptureStderr();
        int rc = zs_args_check(log, &args, &totals);
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
        EXPECT_STREQ(args.sep, c.sep);
        EXPECT_EQ(args.sepLen, c.sepLen);
        EXPECT_EQ(args.bFixVar, c.sepLen == 0 ? 1 : 2);
    }
    clean();
    std::string err;
    EXPECT_EQ(check({"-P", "\\n\\r"}, &err), 1);
    EXPECT_EQ(err, cp932("☆ Invalid newline code [\\n\\r]!\n"));
}

TEST_F(Check, Delimiters) {
    ASSERT_EQ(check({"-C"}), 0);
    EXPECT_STREQ(args.delimiter, ",");
    EXPECT_EQ(args.delimLen, 1);
    clean();
    ASSERT_EQ(check({"-C", "-D", "\\t"}), 0);
    EXPECT_STREQ(args.delimiter, "\t");
    EXPECT_EQ(args.delimLen, 1);
    clean();
    ASSERT_EQ(check({"-C", "-D", ";;"}), 0);
    EXPECT_EQ(args.delimLen, 2);
    clean();
    ASSERT_EQ(check({"-D", "\\t"}), 0);  // not CSV: untouched
    EXPECT_STREQ(args.delimiter, "\\t");
    EXPECT_EQ(args.delimLen, 0);
    clean();
    ASSERT_EQ(check({"-C", "-L", "10", "-D", "\\t"}), 0);  // fixed-length wins
    EXPECT_EQ(args.bCsv, 1);
    EXPECT_EQ(args.layout, ZS_FIXED);
    EXPECT_STREQ(args.delimiter, "\\t");
    EXPECT_EQ(args.delimLen, 0);
    EXPECT_EQ(args.sepLen, 0);
}

TEST_F(Check, ByteKeys) {
    std::string err;
    ASSERT_EQ(check({"-K", "0,10", "-K", "20,5d"}), 0);
    EXPECT_EQ(args.keyMaxPos, 25);
    const SortKey& k = args.arrSortKey[1];
    EXPECT_STREQ(k.cmt, "20,5");
    EXPECT_EQ(k.pos, 20);
    EXPECT_EQ(k.len, 5);
    EXPECT_EQ(k.seq, ZS_DESC);
    EXPECT_EQ(k.type, ZS_KEY_BYTES);
    EXPECT_EQ(args.bRecSort, 0);

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
    EXPECT_EQ(args.arrSortKey[0].len, 6);
    EXPECT_EQ(args.arrSortKey[0].type, ZS_KEY_NUMERIC);
    EXPECT_EQ(args.keyMaxPos, 10);
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
        const SortKey& k = args.arrSortKey[0];
        EXPECT_EQ(k.pos, c.pos) << c.key;
        EXPECT_EQ(k.len, 0);
        EXPECT_EQ(k.type, c.type) << c.key;
        EXPECT_EQ(k.seq, c.seq) << c.key;
        EXPECT_STREQ(k.cmt, c.cmt);
        EXPECT_EQ(args.keyMaxPos, 0);
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
    EXPECT_EQ(args.keyNums, 0);
    EXPECT_EQ(args.keyAlloc, 2);
    EXPECT_EQ(args.bRecSort, 1);
    clean();
    ASSERT_EQ(check({}), 0);
    EXPECT_EQ(args.bRecSort, 1);
    EXPECT_EQ(totals.bMemory, 1);
    clean();
    ASSERT_EQ(check({"-W", "64M"}), 0);
    EXPECT_EQ(totals.bMemory, 0);
    EXPECT_EQ(totals.totalMemSize, 64 << 20);  // -W, until the run sizes its pool
}

TEST_F(Check, InputFilesSizesAndTotals) {
    std::string a = file("a.dat", 1000), b = file("b.dat", 500), odd = file("odd.dat", 1050);
    ASSERT_EQ(check({"-L", "100", a, b}), 0);
    EXPECT_EQ(totals.totalRecNum, 15);
    EXPECT_EQ(totals.totalFileSize, 1500);
    EXPECT_EQ(args.arrInFile[1].size, 500);
    EXPECT_EQ(args.arrInFile[0].dir, dir + "/");
    EXPECT_STREQ(args.arrInFile[0].fileName, "a.dat");

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

    // Sizes past 2 GiB and 4 GiB pass and add up in 64 bits, records of fixed-length files too.
    std::string big = file("big", (uintmax_t)1 << 31), half = file("half", (uintmax_t)1 << 30),
                over4 = file("over4", ((uintmax_t)1 << 32) + 5);
    clean();
    ASSERT_EQ(check({big, half, a, over4}, &err), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(totals.totalFileSize, ((ZsSize)1 << 31) + ((ZsSize)1 << 30) + 1000 + ((ZsSize)1 << 32) + 5);
    EXPECT_EQ(args.arrInFile[3].size, ((ZsSize)1 << 32) + 5);
    EXPECT_EQ(totals.bStreams, 0);
    clean();
    ASSERT_EQ(check({"-L", "1", over4, big}), 0);
    EXPECT_EQ(totals.totalRecNum, ((ZsSize)1 << 32) + 5 + ((ZsSize)1 << 31));
}

// A FIFO passes the check unopened (its data can be read once, by the sort), its size unknown;
// a folder or a missing name is still refused.
TEST_F(Check, FifoInputIsAStream) {
    std::string a = file("a.dat", 100), fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string err;
    ASSERT_EQ(check({"-L", "10", a, fifo}, &err), 0) << err;  // would block here if it were opened
    EXPECT_EQ(args.arrInFile[0].bStream, 0);
    EXPECT_EQ(args.arrInFile[1].bStream, 1);
    EXPECT_EQ(args.arrInFile[1].size, 0);
    EXPECT_EQ(totals.bStreams, 1);
    EXPECT_EQ(totals.totalFileSize, 100);
    EXPECT_EQ(totals.totalRecNum, 10);  // the FIFO's records are counted as they are read
}

TEST_F(Check, OutputErrorAndTemporaryFolders) {
    std::string err, nope = dir + "/nope/";
    ASSERT_EQ(check({"-O", "out.txt", "-E", dir + "/err.txt"}), 0);
    EXPECT_EQ(args.outFile.dir, nullptr);
    EXPECT_STREQ(args.outFile.fileName, "out.txt");
    EXPECT_STREQ(args.errFile.fileName, "err.txt");
    std::string tmp = dir + "/tesra_4242.tmp";
    EXPECT_STREQ(args.tmpFile.path, tmp.c_str());
    EXPECT_STREQ(args.tmpFile.fileName, "tesra_4242.tmp");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);  // nothing is created

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
    EXPECT_EQ(args.tmpFile.path, dir + "//tesra_4242.tmp");
    EXPECT_EQ(args.tmpFile.dir, dir + "//");

    clean();
    unsetenv("TEMP");
    unsetenv("TMPDIR");
    ASSERT_EQ(check({}), 0);
    EXPECT_STREQ(args.tmpFile.path, "/tmp/tesra_4242.tmp");
}

// An empty -T names no folder: refused, never taken for the root folder (which passes the
// folder test where the tests run with the rights to write there).
TEST_F(Check, EmptyTemporaryFolderIsRefused) {
    std::string err;
    for (const char* value : {"", " "}) {
        clean();
        EXPECT_EQ(check({"-T", value}, &err), 1) << "[" << value << "]";
        EXPECT_EQ(err, cp932("☆ Temporary folder [/] does not exist or insufficient permissions!\n"));
    }
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
    log.bVerbose = 1;
    ASSERT_EQ(check({"-K", "20,5d"}, &err), 0);
    for (const char* line : {"\n--- 引数のチェック処理は開始します。--- \n", "出力ファイル名: (null)\n",
                             "ソートキー1(Desc)は: 20,5\n", "ソートキー1(Desc)の長さは: 5\n"})
        EXPECT_NE(err.find(cp932(line)), std::string::npos) << line;
    EXPECT_NE(err.find("Error file name: (null)\n"), std::string::npos);
    EXPECT_NE(err.find(cp932(("一時パス: " + dir + "/tesra_4242.tmp\n").c_str())), std::string::npos);

    clean();
    log.bVerbose = 1;
    ASSERT_EQ(check({"-E", dir + "/e"}, &err), 0);
    size_t first = err.find("Error file name: e\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(err.find("Error file name: e\n", first + 1), std::string::npos);  // printed twice
}
