// Normalized keys against the comparator family, on adversarial records: shared prefixes longer
// than a cached chunk, numeric edge values, empty columns, NUL and 0xFF bytes, descending keys,
// -N and whole-record sorts. A strict difference of keys must give the comparator's order; equal
// keys must be equal records for it (unless the key goes on past the chunk limit). Then the item
// sort must give exactly the order of a stable sort by the comparator.
#include <pthread.h>

#include <algorithm>
#include <random>

#include "records/keys.h"
#include "sort/item_sort.h"
#include "support.h"

namespace {

const char* const kNumbers[] = {"9223372036854775807", "9223372036854775808", "-9223372036854775808",
                                "-9223372036854775809", "0", "-0", "+0", "", " ", "+", "-", "00012", "12",
                                "2147483648", "-2147483649", "  -42", "4294967296", "1e5", "\t7",
                                // where a CSV key's value takes one byte more or less
                                "-1", "-2", "255", "256", "-256", "-257", "65535", "65536", "-65537"};

std::string bytes(std::mt19937& rng, const char* alphabet, int most) {
    std::string s;
    int n = (int)(rng() % (unsigned)(most + 1));
    for (int i = 0; i < n; i++) s += alphabet[rng() % std::strlen(alphabet)];
    return s;
}

// A field that shares long prefixes with others, or is a numeric edge value, or is odd bytes.
std::string field(std::mt19937& rng) {
    static const std::string shared = "https://example.org/a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q/r/s/t/u/v/w/x/y/z/";
    switch (rng() % 6) {
        case 0: return kNumbers[rng() % (sizeof kNumbers / sizeof *kNumbers)];
        case 1: return shared.substr(0, rng() % shared.size()) + bytes(rng, "ab", 3);
        case 2: return std::string("ab\0\xff", 4).substr(0, rng() % 5) + bytes(rng, "a\xff", 2);
        case 3: return "";
        default: return bytes(rng, "aAb0 ", 10);
    }
}

}  // namespace

class KeysTest : public EngineTest, public ::testing::WithParamInterface<int> {
protected:
    std::string buf;

    ZsKeyRecord record(const void* entry) const {
        if (args.layout == ZS_FIXED) return {static_cast<const char*>(entry), args.recLen, nullptr, 0};
        if (args.layout == ZS_VARIABLE) {
            auto e = static_cast<const VarEntry*>(entry);
            return {e->data, e->len, nullptr, 0};
        }
        auto e = static_cast<const CsvEntry*>(entry);
        return {e->data, e->len, e->cols, e->colNum};
    }

    // Order of two records' whole normalized keys; *capped when it could not be read to the end.
    int key_order(const void* x, const void* y, bool* capped) const {
        *capped = false;
        for (int32_t c = 0;; c++) {
            if (c >= zs_key_chunk_limit(args)) {
                *capped = true;
                return 0;
            }
            bool mx, my;
            uint64_t kx = zs_key_chunk_any(args, record(x), c, &mx), ky = zs_key_chunk_any(args, record(y), c, &my);
            if (kx != ky) return kx < ky ? -1 : 1;
            if (!mx && !my) return 0;
        }
    }
};

TEST_P(KeysTest, CachedKeysOrderAsTheComparators) {
    const int layout = GetParam();  // 0 fixed, 1 newline-ended, 2 CSV
    std::mt19937 rng(777 + layout);
    int decided = 0, tied = 0;
    for (int round = 0; round < 60; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        zs_index_release(*r, &idx);
        reset_settings();
        const bool wholeRecord = rng() % 4 == 0;
        if (layout == 0) fixed(24);
        if (layout == 1) variable(rng() % 2 ? "\n" : "\r\n");
        if (layout == 2) csv(rng() % 2 ? "," : ";;");
        args.bNullLastOut = (int32_t)(rng() % 2);
        if (wholeRecord) {
            whole(1 + (int32_t)(rng() % 2));
        } else {
            for (int k = 0, n = 1 + (int)(rng() % 3); k < n; k++) {
                int32_t type = rng() % 2 ? ZS_KEY_NUMERIC : ZS_KEY_BYTES;
                int32_t seq = rng() % 2 ? ZS_DESC : ZS_ASC;
                if (layout == 2)
                    key(1 + (int32_t)(rng() % 3), 0, type, seq);
                else
                    key((int32_t)(rng() % 12), 1 + (int32_t)(rng() % 12), type, seq);
            }
        }
        std::vector<std::string> records;
        for (int i = 0; i < 40; i++) {
            std::string rec;
            if (layout == 2) {
                for (int c = 0, n = 1 + (int)(rng() % 4); c < n; c++) rec += (c ? args.delimiter : "") + field(rng);
            } else {
                while (rec.size() < 30) rec += field(rng);
                if (layout == 0) rec.resize(24, ' ');
            }
            if (layout != 0) {
                // A newline code inside a field would end the record early: keep records whole.
                for (char& ch : rec)
                    if (ch == '\n' || ch == '\r' || ch == '"') ch = 'q';
                rec += args.sep;
            }
            records.push_back(rec);
        }
        buf.clear();
        for (auto& rec : records) buf += rec;
        PtrList* list = layout == 0 ? index_fixed(buf.data(), (int32_t)buf.size())
                        : layout == 1 ? index_var(buf.data(), (int32_t)buf.size(), 1)
                                      : index_csv(buf.data(), (int32_t)buf.size(), 1);
        ASSERT_NE(list, nullptr);
        ZsCmp cmp = zs_cmp_fn(zs_cmp_of(args, args.layout, ZS_AT_ENTRY, false));
        const int n = list->count;
        void** e = list->items + list->start;
        for (int i = 0; i < n; i++) {
            for (int j = 0; j < n; j++) {
                bool capped;
                int k = key_order(e[i], e[j], &capped);
                int c = cmp(&e[i], &e[j], env());
                if (k != 0) {
                    ASSERT_EQ(k, c) << "keys decide against the comparator: " << i << " vs " << j;
                    decided++;
                } else if (!capped) {
                    ASSERT_EQ(c, 0) << "equal keys, records the comparator orders: " << i << " vs " << j;
                    tied++;
                }
            }
        }

        // The item sort against a stable sort by the comparator.
        std::vector<std::string> expected;
        std::vector<void*> sorted(e, e + n);
        std::stable_sort(sorted.begin(), sorted.end(), [&](void* x, void* y) { return cmp(&x, &y, env()) < 0; });
        for (void* x : sorted) {
            ZsKeyRecord rec = record(x);
            expected.emplace_back(rec.data, (size_t)rec.len);
        }
        // Items of both widths: 64-bit offsets are what a buffer past 4 GiB gets.
        for (int width : {ZS_ITEMS, ZS_ITEMS_WIDE}) {
            ZsIndex items{};
            ASSERT_EQ(zs_index_build(*r, buf.data(), (ZsSize)buf.size(), ZsScan{1, nullptr, 0, 0, 0, width}, &items), 0);
            ASSERT_EQ(items.wide, width == ZS_ITEMS_WIDE);
            zs_sort_items(*r, &items, true);
            std::vector<std::string> got = item_texts(items);
            zs_index_release(*r, &items);
            ASSERT_EQ(got, expected) << "width " << width;
        }
    }
    EXPECT_GT(decided, 1000);
    EXPECT_GT(tied, 40);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, KeysTest, ::testing::Values(0, 1, 2));

// Records sharing ever longer prefixes split off one at a time: the item sort must not go one
// call deeper per record. Sorted on a thread with a small stack, ascending and descending.
TEST_F(EngineTest, ItemSortDepthStaysSmallOnGrowingSharedPrefixes) {
    for (int layout = 0; layout < 2; layout++) {
        for (int32_t direction : {1, 2}) {
            args = ArgsInfo{};
            const int n = 300;
            if (layout == 0)
                fixed(8 * n + 2);
            else
                variable("\n");
            whole(direction);
            std::vector<std::string> records;
            for (int i = 0; i < n; i++) {
                std::string rec = std::string(8 * (size_t)i, 'a') + "b";
                rec.resize(layout == 0 ? 8 * (size_t)n + 2 : rec.size() + 1, layout == 0 ? ' ' : '\n');
                records.push_back(rec);
            }
            std::string buf;
            for (int i = 0; i < n; i++) buf += records[(size_t)(i * 7) % n];  // 7 and 300 share no factor
            ZsIndex items{};
            ASSERT_EQ(zs_index_build(*r, buf.data(), (ZsSize)buf.size(), ZsScan{1, nullptr, 0, 0, 0, ZS_ITEMS}, &items), 0);
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, 256 << 10);
            pthread_t t;
            struct Job {
                ZsSortRun* run;
                ZsIndex* items;
            } job{r.get(), &items};
            ASSERT_EQ(pthread_create(&t, &attr, [](void* p) -> void* {
                Job* j = static_cast<Job*>(p);
                zs_sort_items(*j->run, j->items, false);
                return nullptr;
            }, &job), 0);
            pthread_join(t, nullptr);
            pthread_attr_destroy(&attr);
            std::sort(records.begin(), records.end());
            if (direction == 2) std::reverse(records.begin(), records.end());
            std::vector<std::string> got = item_texts(items);
            zs_index_release(*r, &items);
            ASSERT_EQ(got, records) << "layout " << layout << ", direction " << direction;
        }
    }
}
