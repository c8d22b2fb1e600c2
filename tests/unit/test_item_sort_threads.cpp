// The item sort on several threads gives exactly the order of one thread: the same items in the
// same places (ties of unstable sorts included), for every layout, key form, width of the items
// and stable and unstable sorts, on groups large enough to share their passes out: many ties,
// long shared prefixes (the rereads), buckets holding most items (split again), keys tied to the
// end. (The one-thread order itself is the other sort tests' and the differential test's.)
#include <random>

#include "sort/item_sort.h"
#include "support.h"

namespace {

constexpr int kRecords = 140000;  // above twice the size from which a group is shared out

// A field of the given shape: few distinct values, long prefixes most share, nested skew (most
// items in one bucket at several bytes), or one value for all.
std::string field(std::mt19937& rng, int shape) {
    static const std::string prefix(53, 'p');
    std::string s;
    switch (shape) {
        case 0: return std::to_string(rng() % 20);
        case 1:
            if (rng() % 10 < 7) s = prefix.substr(0, 40 + rng() % 14);
            for (int i = 0, n = 1 + (int)(rng() % 3); i < n; i++) s += "ab"[rng() % 2];
            return s;
        case 2:
            for (int i = 0; i < 12; i++) s += rng() % 10 < 8 ? 'm' : (char)('a' + rng() % 26);
            return s;
        default: return "same";
    }
}

}  // namespace

class ItemSortThreadsTest : public EngineTest {
protected:
    std::string buf;

    void SetUp() override {
        EngineTest::SetUp();
        zs_pool_destroy(r->pool);
        r->pool = zs_pool_create(256 << 20, r.get());
        ASSERT_NE(r->pool, nullptr);
    }

    // The records of one layout: a field of the shape first, a random tail after it.
    void make(std::mt19937& rng, int shape) {
        buf.clear();
        for (int i = 0; i < kRecords; i++) {
            // One record shares less of the prefix than all others: the slices of a reread
            // measure different shared prefixes.
            std::string rec = shape == 1 && i == kRecords / 3 ? std::string(17, 'p') + "b" : field(rng, shape);
            std::string tail = std::to_string(rng() % 1000);
            if (args.layout == ZS_CSV) {
                rec = tail + args.delimiter + rec + args.delimiter + std::to_string(rng() % 7);
            } else if (args.layout == ZS_FIXED) {
                rec.resize(60, ' ');
                rec += tail;
                rec.resize((size_t)args.recLen, '.');
            } else {
                // Keyed lines hold the whole key: a shorter one would be an error record.
                if (args.keyNums > 0) rec.resize(60, ' ');
                rec += "," + tail;
            }
            if (args.layout != ZS_FIXED) rec += args.sep;
            buf += rec;
        }
    }

    // The items' offsets (CSV: entry indexes) in their sorted order, with `threads`.
    std::vector<uint64_t> order(int width, int32_t threads, bool stable) {
        ZsIndex items{};
        EXPECT_EQ(zs_index_build(*r, buf.data(), (ZsSize)buf.size(), ZsScan{1, nullptr, 0, 0, 0, width}, &items), 0);
        EXPECT_EQ(items.count, (ZsSize)kRecords);
        r->threads = threads;
        zs_sort_items(*r, &items, stable);
        r->threads = 1;
        std::vector<uint64_t> out;
        zs_with_layout(args.layout, [&](auto tag) {
            zs_with_item_width(items.wide, [&](auto w) {
                const auto* it = zs_index_items<decltype(tag)::value, typename decltype(w)::type>(items);
                for (ZsSize i = 0; i < items.count; i++) out.push_back((uint64_t)it[i].at);
            });
        });
        zs_index_release(*r, &items);
        return out;
    }

    // Sorts the records with 1, 2 and 5 threads: the orders must be one. The 64-bit items (wide)
    // run the same body on wider items: asked for in a few cases.
    void check(const char* what, bool wide = false) {
        SCOPED_TRACE(what);
        for (bool stable : {false, true}) {
            for (int width : {ZS_ITEMS, ZS_ITEMS_WIDE}) {
                if (width == ZS_ITEMS_WIDE && !wide) continue;
                const std::vector<uint64_t> one = order(width, 1, stable);
                for (int32_t threads : {2, 5})
                    ASSERT_TRUE(order(width, threads, stable) == one)
                        << "threads " << threads << ", stable " << stable << ", width " << width;
            }
        }
    }
};

TEST_F(ItemSortThreadsTest, SameOrderAsOneThreadForEveryLayoutAndKeyForm) {
    std::mt19937 rng(4242);
    // Every shape on lines and the keyed forms; the other cases spread over the shapes. -U orders
    // ties as a stable sort does: the stable cases cover it.
    for (int shape = 0; shape < 4; shape++) {
        const std::string s = "shape " + std::to_string(shape);
        reset_settings();
        variable("\n");
        whole(1);
        make(rng, shape);
        check((s + ", lines, whole").c_str(), shape == 1);
        if (shape == 1) {
            whole(2);
            check((s + ", lines, whole, descending").c_str());
        }
        reset_settings();
        variable("\r\n");
        key(0, 60);
        make(rng, shape);
        check((s + ", lines, keyed").c_str());
        reset_settings();
        fixed(72);
        if (shape % 2 == 0)
            key(0, 60, ZS_KEY_BYTES, ZS_DESC);
        else
            whole(1);
        make(rng, shape);
        check((s + (shape % 2 == 0 ? ", fixed, keyed descending" : ", fixed, whole")).c_str());
        if (shape == 2) continue;
        reset_settings();
        csv(",");
        key(2);
        key(1, 0, ZS_KEY_NUMERIC, ZS_DESC);
        make(rng, shape);
        check((s + ", csv, keyed").c_str(), shape == 1);
    }
}
