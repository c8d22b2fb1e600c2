// Shared set-up for the engine unit tests: a run context with clean settings and a pool per test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <unistd.h>
#include <string>
#include <vector>

#include "file_text.h"
#include "memory/pool.h"
#include "records/compare.h"
#include "records/records.h"
#include "settings/settings.h"
#include "sort/run.h"

class EngineTest : public ::testing::Test {
protected:
    std::unique_ptr<ZsSortRun> r;  // the run's context (MBs of buffers: on the heap)
    ArgsInfo args{};               // the settings the helpers below set; r->args points here
    std::vector<SortKey> keys;
    ZsIndex idx{};  // the index the last build made

    void SetUp() override {
        r = std::make_unique<ZsSortRun>();
        r->args = &args;
        r->pool = zs_pool_create(16 << 20, r.get());
        ASSERT_NE(r->pool, nullptr);
    }

    void TearDown() override {
        zs_index_release(*r, &idx);
        zs_plat_out_abort(&r->errStream);
        const char* broken = zs_pool_check(r->pool);
        EXPECT_EQ(broken, nullptr) << broken;
        zs_pool_destroy(r->pool);
        r.reset();
    }

    // The context as the comparators take it (their environment is a ZsRecRun*).
    void* env() { return static_cast<ZsRecRun*>(r.get()); }

    // Back to empty settings (no keys) for a second case in one test.
    void reset_settings() {
        keys.clear();
        args = ArgsInfo{};
    }

    // The builders, keeping what they made in idx (released before the next build).
    PtrList* index_fixed(char* b, int32_t n) {
        zs_index_release(*r, &idx);
        return zs::_zs_get_indexList(*r, b, n, &idx) == 0 ? idx.list : nullptr;
    }
    PtrList* index_var(char* b, int32_t n, int bLast) {
        zs_index_release(*r, &idx);
        return zs::_zs_get_indexList_variable(*r, b, n, bLast, &idx) == 0 ? idx.list : nullptr;
    }
    PtrList* index_csv(char* b, int32_t n, int bLast) {
        zs_index_release(*r, &idx);
        return zs::_zs_get_indexList_csv(*r, b, n, bLast, &idx) == 0 ? idx.list : nullptr;
    }

    void fixed(int32_t recLen) {
        args.bFixVar = 1;
        args.layout = ZS_FIXED;
        args.recLen = recLen;
    }
    void variable(const char* sep = "\n") {
        args.bFixVar = 2;
        args.layout = ZS_VARIABLE;
        args.sep = sep;
        args.sepLen = (int32_t)std::strlen(sep);
    }
    void csv(const char* delimiter = ",", const char* sep = "\n") {
        variable(sep);
        args.layout = ZS_CSV;
        args.bCsv = 1;
        args.delimiter = delimiter;
        args.delimLen = (int32_t)std::strlen(delimiter);
        args.quote = '"';
    }
    // A key: byte position and length (fixed, variable) or column (CSV, len 0).
    void key(int32_t pos, int32_t len = 0, int32_t type = ZS_KEY_BYTES, int32_t seq = ZS_ASC) {
        keys.push_back(SortKey{nullptr, pos, len, type, seq});
        args.arrSortKey = keys.data();
        args.keyNums = (int32_t)keys.size();
        if (len > 0 && pos + len > args.keyMaxPos) args.keyMaxPos = pos + len;
    }
    void whole(int32_t direction = 1) { args.bRecSort = direction; }

    // The live entries of a list as record texts.
    std::vector<std::string> texts(const PtrList* list) const {
        std::vector<std::string> out;
        for (int32_t i = 0; list != nullptr && i < list->count; i++) {
            const void* e = list->items[list->start + i];
            if (args.bFixVar == 1)
                out.emplace_back(static_cast<const char*>(e), (size_t)args.recLen);
            else if (args.bCsv)
                out.emplace_back(static_cast<const CsvEntry*>(e)->data, (size_t)static_cast<const CsvEntry*>(e)->len);
            else
                out.emplace_back(static_cast<const VarEntry*>(e)->data, (size_t)static_cast<const VarEntry*>(e)->len);
        }
        return out;
    }

    // The records of an item build, in the items' order, whatever their width.
    std::vector<std::string> item_texts(const ZsIndex& items) const {
        std::vector<std::string> out;
        zs_with_layout(args.layout, [&](auto tag) {
            constexpr ZsLayout L = decltype(tag)::value;
            zs_with_item_width(items.wide, [&](auto w) {
                const auto* it = zs_index_items<L, typename decltype(w)::type>(items);
                for (ZsSize i = 0; i < items.count; i++) {
                    if constexpr (L == ZS_FIXED)
                        out.emplace_back(items.base + it[i].at, (size_t)args.recLen);
                    else if constexpr (L == ZS_CSV)
                        out.emplace_back(zs_item_entry(items, it[i])->data, (size_t)it[i].len);
                    else
                        out.emplace_back(items.base + it[i].at, (size_t)it[i].len);
                }
            });
        });
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
