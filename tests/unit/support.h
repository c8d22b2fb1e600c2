// Shared set-up for the engine unit tests: a clean settings record and a pool per test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <string>
#include <vector>

#include "base/run.h"
#include "file_text.h"
#include "memory/pool.h"
#include "records/compare.h"
#include "records/records.h"
#include "settings/settings.h"

class EngineTest : public ::testing::Test {
protected:
    std::vector<SortKey> keys;
    ZsIndex idx{};  // the index the last build made

    void SetUp() override {
        std::memset(&zs_args, 0, sizeof zs_args);
        zs_run_clear();
        zs_run.pool = zs_pool_create(16 << 20);
        ASSERT_NE(zs_run.pool, nullptr);
    }

    void TearDown() override {
        zs_index_release(&idx);
        zs_plat_out_abort(&zs_run.errStream);
        const char* broken = zs_pool_check(zs_run.pool);
        EXPECT_EQ(broken, nullptr) << broken;
        zs_pool_destroy(zs_run.pool);
        zs_run_clear();
        std::memset(&zs_args, 0, sizeof zs_args);
    }

    // The builders, keeping what they made in idx (released before the next build).
    PtrList* index_fixed(char* b, int32_t n) {
        zs_index_release(&idx);
        return _zs_get_indexList(b, n, &idx) == 0 ? idx.list : nullptr;
    }
    PtrList* index_var(char* b, int32_t n, int bLast) {
        zs_index_release(&idx);
        return _zs_get_indexList_variable(b, n, bLast, &idx) == 0 ? idx.list : nullptr;
    }
    PtrList* index_csv(char* b, int32_t n, int bLast) {
        zs_index_release(&idx);
        return _zs_get_indexList_csv(b, n, bLast, &idx) == 0 ? idx.list : nullptr;
    }

    void fixed(int32_t recLen) {
        zs_args.bFixVar = 1;
        zs_args.layout = ZS_FIXED;
        zs_args.recLen = recLen;
    }
    void variable(const char* sep = "\n") {
        zs_args.bFixVar = 2;
        zs_args.layout = ZS_VARIABLE;
        zs_args.sep = sep;
        zs_args.sepLen = (int32_t)std::strlen(sep);
    }
    void csv(const char* delimiter = ",", const char* sep = "\n") {
        variable(sep);
        zs_args.layout = ZS_CSV;
        zs_args.bCsv = 1;
        zs_args.delimiter = delimiter;
        zs_args.delimLen = (int32_t)std::strlen(delimiter);
        zs_args.quote = '"';
    }
    // A key: byte position and length (fixed, variable) or column (CSV, len 0).
    void key(int32_t pos, int32_t len = 0, int32_t type = ZS_KEY_BYTES, int32_t seq = ZS_ASC) {
        keys.push_back(SortKey{nullptr, pos, len, type, seq});
        zs_args.arrSortKey = keys.data();
        zs_args.keyNums = (int32_t)keys.size();
        if (len > 0 && pos + len > zs_args.keyMaxPos) zs_args.keyMaxPos = pos + len;
    }
    void whole(int32_t direction = 1) { zs_args.bRecSort = direction; }

    // The live entries of a list as record texts.
    static std::vector<std::string> texts(const PtrList* list) {
        std::vector<std::string> out;
        for (int32_t i = 0; list != nullptr && i < list->count; i++) {
            const void* e = list->items[list->start + i];
            if (zs_args.bFixVar == 1)
                out.emplace_back(static_cast<const char*>(e), (size_t)zs_args.recLen);
            else if (zs_args.bCsv)
                out.emplace_back(static_cast<const CsvEntry*>(e)->data, (size_t)static_cast<const CsvEntry*>(e)->len);
            else
                out.emplace_back(static_cast<const VarEntry*>(e)->data, (size_t)static_cast<const VarEntry*>(e)->len);
        }
        return out;
    }

    // Text of column slot i of a CSV entry.
    static std::string column(const CsvEntry* e, int32_t i) {
        return std::string(e->data + e->cols[i].off, (size_t)e->cols[i].len);
    }

    static std::string temp_path(const char* name) {
        return std::string(::testing::TempDir()) + "tesra_" + std::to_string(getpid()) + "_" + name;
    }
};
