#include <algorithm>
#include <cstring>

#include "settings_test_util.h"

using Options = SettingsTest;

TEST_F(Options, FlagsClustersAndValuesAttachedOrNext) {
    Argv a{"-CSU", "-nm", "-h", "-K1", "-k", " \t2d\r\n", "-O", "out", "-o", "out2", "-L5", "-l", "7"};
    ASSERT_EQ(load(a), 0);
    EXPECT_EQ(args.bCsv, 1);
    EXPECT_EQ(args.bStabilize, 1);
    EXPECT_EQ(args.bUnique, 1);
    EXPECT_EQ(args.bNullLastOut, 1);
    EXPECT_EQ(args.bMerge, 1);
    EXPECT_EQ(args.bHeader, 1);
    ASSERT_EQ(args.keyNums, 2);
    EXPECT_EQ(args.keyAlloc, 2);
    EXPECT_STREQ(args.arrSortKey[0].cmt, "1");
    EXPECT_STREQ(args.arrSortKey[1].cmt, "2d");  // trimmed on both sides
    EXPECT_STREQ(a.ptr[6], "2d");                    // in place
    EXPECT_STREQ(args.outFile.path, "out2");      // a later value replaces the earlier
    EXPECT_EQ(args.recLen, 7);
    EXPECT_EQ(args.quote, '"');
    EXPECT_EQ(args.inFileNums, 0);
    EXPECT_EQ(args.arrInFile, nullptr);
}

TEST_F(Options, WhereOptionsEnd) {
    Argv first{"-C", "file1", "-K", "2"};  // the first non-option ends the options
    ASSERT_EQ(load(first), 0);
    ASSERT_EQ(args.inFileNums, 3);
    EXPECT_STREQ(args.arrInFile[1].path, "-K");
    EXPECT_EQ(args.keyNums, 0);

    clean();
    Argv dashes{"-C", "--", "-K", "-"};
    ASSERT_EQ(load(dashes), 0);
    ASSERT_EQ(args.inFileNums, 2);
    EXPECT_STREQ(args.arrInFile[0].path, "-K");
    EXPECT_STREQ(args.arrInFile[1].path, "-");

    clean();
    Argv dash{"-", "-C"};  // a lone "-" is a file name
    ASSERT_EQ(load(dash), 0);
    EXPECT_EQ(args.inFileNums, 2);
    EXPECT_EQ(args.bCsv, 0);
}

TEST_F(Options, FirstOfAscendingAndDescendingWins) {
    Argv ar{"-A", "-R"};
    ASSERT_EQ(load(ar), 0);
    EXPECT_EQ(args.bRecSort, 1);
    clean();
    Argv ra{"-r", "-a"};
    ASSERT_EQ(load(ra), 0);
    EXPECT_EQ(args.bRecSort, 2);
}

TEST_F(Options, ScannerComplaintsReturnInsteadOfEndingTheProcess) {
    std::string err;
    Argv illegal{"-C", "-x", "f"};
    EXPECT_EQ(load(illegal, &err), kRejected);
    EXPECT_EQ(err, "tesra: : illegal option -- \n");
    EXPECT_EQ(args.inFileNums, 0);

    for (const char* bad : {"--help", "-:", "-C?"}) {
        clean();
        Argv a{bad};
        EXPECT_EQ(load(a, &err), kRejected) << bad;
        EXPECT_EQ(err, "tesra: : illegal option -- \n") << bad;
    }

    clean();
    Argv missing{"-C", "-K"};
    EXPECT_EQ(load(missing, &err), kRejected);
    EXPECT_EQ(err, "tesra: : option requires an argument -- \n");
    EXPECT_EQ(args.keyNums, 0);
}

TEST_F(Options, VersionAndVerboseForms) {
    std::string err;
    Argv version{"-V", "", "-C"};
    EXPECT_EQ(load(version, &err), kVersionShown);
    EXPECT_EQ(err.rfind("\nVersion: " TESRA_VERSION "\n", 0), 0u) << err;
    EXPECT_NE(err.find("MIT"), std::string::npos);
    EXPECT_EQ(args.bCsv, 0);  // nothing after -V "" is applied

    clean();
    setenv("LC_ALL", "ja_JP.UTF-8", 1);
    Argv versionJp{"-v", "  "};  // all white space is empty too
    EXPECT_EQ(load(versionJp, &err), kVersionShown);
    EXPECT_EQ(err.rfind(cp932("\nバージョン：" TESRA_VERSION "\n"), 0), 0u);
    setenv("LC_ALL", "C", 1);

    clean();
    Argv swallowed{"-V", "-C"};  // -C is the value of -V and ignored
    EXPECT_EQ(load(swallowed, &err), 0);
    EXPECT_EQ(args.bCsv, 0);
    EXPECT_EQ(err, "");

    struct {
        const char* arg;
        int verbose;
    } forms[] = {{"-Verbose", 1}, {"-verbose", 1}, {"-VerboseX", 0}, {"-Verbos", 0}};
    for (auto& f : forms) {
        clean();
        Argv a{f.arg};
        EXPECT_EQ(load(a), 0);
        EXPECT_EQ(log.bVerbose, f.verbose) << f.arg;
    }
}

TEST_F(Options, BufferSizeForms) {
    struct {
        const char* arg;
        ZsSize size;        // 0: rejected
        const char* error;  // expected message (UTF-8)
        const char* after;  // the argument text afterwards
    } cases[] = {
        {"64M", 67108864, "", "64M"},
        {"1024K", 1048576, "", "1024K"},
        {"64m", 67108864, "", "64M"},
        {"1k", 1024, "", "1K"},
        {" 67108864 ", 67108864, "", "67108864"},
        {"2147483647", 2147483647, "", "2147483647"},
        {"2047M", 2047 * 1048576, "", "2047M"},
        {"64MB", 67108864, "", "64MB"},
        {"1024KB", 1048576, "", "1024KB"},
        {"64mb", 67108864, "", "64MB"},
        {"2kB", 2048, "", "2KB"},
        {"6xKB", 0, "☆ Invalid option [W6x]!\n", "6xKB"},
        {"KB", 0, "☆ Invalid option [W]!\n", "KB"},
        {"64B", 0, "☆ Invalid option [W64B]!\n", "64B"},
        {"0MB", 0, "☆ Invalid buffer size [0MB]!\n", "0MB"},
        {"6xK", 0, "☆ Invalid option [W6x]!\n", "6xK"},
        {"K", 0, "☆ Invalid option [W]!\n", "K"},
        {"-5", 0, "☆ Invalid option [W-5]!\n", "-5"},
        {"0", 0, "☆ Invalid buffer size [0]!\n", "0"},
        {"0K", 0, "☆ Invalid buffer size [0K]!\n", "0K"},
        // Past 2 GiB and 4 GiB, in every unit: never wrapped to a 32-bit size.
        {"2048M", (ZsSize)1 << 31, "", "2048M"},
        {"4097M", (ZsSize)4097 << 20, "", "4097M"},
        {"2147483648", (ZsSize)1 << 31, "", "2147483648"},
        {"4294967297", ((ZsSize)1 << 32) + 1, "", "4294967297"},
        {"4194304K", (ZsSize)1 << 32, "", "4194304K"},
        {"1G", (ZsSize)1 << 30, "", "1G"},
        {"3gb", (ZsSize)3 << 30, "", "3GB"},
        {"2Gb", (ZsSize)2 << 30, "", "2GB"},
        {"12g", (ZsSize)12 << 30, "", "12G"},
        {"0G", 0, "☆ Invalid buffer size [0G]!\n", "0G"},
        {"6xG", 0, "☆ Invalid option [W6x]!\n", "6xG"},
        {"G", 0, "☆ Invalid option [W]!\n", "G"},
        {"1T", 0, "☆ Invalid option [W1T]!\n", "1T"},
        // At most 2^50 bytes, however it is written; more would be no machine's.
        {"1048576G", (ZsSize)1 << 50, "", "1048576G"},
        {"1125899906842624", (ZsSize)1 << 50, "", "1125899906842624"},
        {"1048577G", 0, "☆ Invalid buffer size [1048577G]!\n", "1048577G"},
        {"1125899906842625", 0, "☆ Invalid buffer size [1125899906842625]!\n", "1125899906842625"},
        {"17179869184G", 0, "☆ Invalid buffer size [17179869184G]!\n", "17179869184G"},  // 2^64: wraps to 0
        {"9223372036854775807", 0, "☆ Invalid buffer size [9223372036854775807]!\n", "9223372036854775807"},
        {"18446744073709551617", 0, "☆ Invalid buffer size [18446744073709551617]!\n", "18446744073709551617"},
        {"99999999999999999999999G", 0, "☆ Invalid buffer size [99999999999999999999999G]!\n", "99999999999999999999999G"},
    };
    for (auto& c : cases) {
        clean();
        Argv a{"-W", c.arg};
        std::string err;
        int rc = load(a, &err);
        EXPECT_EQ(rc, c.size != 0 ? 0 : kRejected) << c.arg;
        EXPECT_EQ(args.totalMemSize, c.size) << c.arg;
        EXPECT_EQ(err, cp932(c.error)) << c.arg;
        EXPECT_STREQ(a.ptr[2], c.after);
    }
}

TEST_F(Options, RecordLengthNewlineAndDelimiterValues) {
    std::string err;
    Argv zero{"-L", "0", "-P", "\\r\\n", "-D", ";;"};
    ASSERT_EQ(load(zero), 0);
    EXPECT_EQ(args.recLen, 0);
    EXPECT_EQ(args.sep, zero.ptr[4]);  // refers to the argument text itself
    EXPECT_STREQ(args.delimiter, ";;");

    for (const char* bad : {"12a", "2147483648", "+5", ""}) {
        clean();
        Argv a{"-L", bad};
        EXPECT_EQ(load(a, &err), kRejected) << bad;
        EXPECT_EQ(err, cp932(("☆オプション[W" + std::string(bad) + "]不正です！\n").c_str())) << bad;
    }
    for (const char* opt : {"-P", "-d"}) {
        clean();
        Argv a{opt, " "};
        EXPECT_EQ(load(a, &err), kRejected) << opt;
        EXPECT_EQ(err, cp932("☆ Invalid option []!\n")) << opt;
    }
}

TEST_F(Options, VerboseEchoStartsAtVerbose) {
    std::string err;
    Argv a{"-C", "-K", "9", "-Verbose", "-S", "-K", "1,2", "-W", "1024K", "-A", "-T", "/x", "-E", "e", "in"};
    ASSERT_EQ(load(a, &err), 0);
    EXPECT_EQ(err.find("-C\n"), std::string::npos);
    EXPECT_EQ(err.find(":9\n"), std::string::npos);
    for (const char* line : {"-S\n", "ソートキー2は:1,2\n", "バッファサイズ：[1MB]\n",
                             "☆ Sort all records in ascending order\n", "一時フォルダは: /x/\n",
                             "エラーファイルは: e\n", "入力ファイル1のパスは: in\n"})
        EXPECT_NE(err.find(cp932(line)), std::string::npos) << line;
    EXPECT_STREQ(args.tmpFile.dir, "/x/");
}

TEST_F(Options, SecondLoadStartsFromZero) {
    Argv first{"-C", "-K", "1", "-K", "2", "-T", "/t", "-O", "o", "-E", "e", "-W", "64M", "f", "g"};
    ASSERT_EQ(load(first), 0);
    zs_args_free(&args);
    ArgsInfo zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&args, &zero, sizeof zero), 0);

    Argv second{"h"};
    ASSERT_EQ(load(second), 0);
    ASSERT_EQ(args.inFileNums, 1);
    EXPECT_STREQ(args.arrInFile[0].path, "h");
    EXPECT_EQ(args.keyNums, 0);
    EXPECT_EQ(args.bCsv, 0);
    EXPECT_EQ(args.outFile.path, nullptr);
    EXPECT_EQ(args.tmpFile.dir, nullptr);
}

TEST_F(Options, EnglishUsageIs67LinesFromAnEmptyLine) {
    testing::internal::CaptureStderr();
    zs_print_usage(log);
    std::string en = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(en.begin(), en.end(), '\n'), 67);
    EXPECT_EQ(en.rfind("\nTESRA  [-V]", 0), 0u);
    EXPECT_EQ(en.back(), '\n');
}
