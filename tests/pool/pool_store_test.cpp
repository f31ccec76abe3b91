// The pool's store functions against a real server, from several stations at once: what the
// server asks of its clients (a transaction tried again) is the store's to do.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "pool/pool_store.h"
#include "support/pg_server.h"

namespace {

constexpr int64_t FIRST = 0x060403000100, LAST = 0x0604030001ff;

// Four stations reserving at once on a database whose default isolation is repeatable read:
// the stations' transactions then collide on the range's row; each collision is the server's
// "try again" (a serialization failure), never a refusal, and no reservation is lost or
// handed out twice.
TEST(pool_store, FourStationsReserveAtOnceUnderRepeatableRead)
{
    constexpr int STATIONS = 4, EACH = 25;
    pg_database db;
    CREATE_PG_DATABASE(db);
    ASSERT_TRUE(db.sql("ALTER DATABASE \"" + db.name + "\" SET default_transaction_isolation = 'repeatable read'"))
        << db.server->error;
    pool_error error;
    pool_store* setup = pool_open(db.url(), true, error);
    ASSERT_TRUE(setup) << error.message;
    ASSERT_TRUE(pool_setup(setup, FIRST, LAST, 60, error)) << error.message;

    std::vector<pool_store*> stores;
    for (int s = 0; s < STATIONS; s++) {
        stores.push_back(pool_open(db.url(), false, error));
        ASSERT_TRUE(stores.back()) << error.message;
    }
    std::mutex lock;
    std::condition_variable all_ready;
    int ready = 0;
    std::vector<int64_t> taken;
    std::vector<std::string> refusals;
    std::vector<std::thread> stations;
    for (int s = 0; s < STATIONS; s++)
        stations.emplace_back([&, s] {
            const pool_instance instance = pool_new_instance("S" + std::to_string(s));
            std::vector<int64_t> known;
            {
                std::unique_lock<std::mutex> held(lock);  // every station starts at once
                ready++;
                all_ready.notify_all();
                all_ready.wait(held, [&] { return ready == STATIONS; });
            }
            for (int i = 0; i < EACH; i++) {
                pool_reservation r;
                pool_error failure;
                const bool reserved = pool_reserve(stores[s], instance, known, r, failure);
                std::lock_guard<std::mutex> held(lock);
                if (reserved) {
                    taken.push_back(r.address);
                    known.push_back(r.id);
                } else {
                    refusals.push_back(failure.message);
                }
            }
        });
    for (std::thread& t : stations)
        t.join();
    for (pool_store* store : stores)
        pool_close(store);

    EXPECT_TRUE(refusals.empty()) << refusals.size() << " refused, the first: " << refusals[0];
    EXPECT_EQ(taken.size(), size_t(STATIONS * EACH));
    EXPECT_EQ(std::set<int64_t>(taken.begin(), taken.end()).size(), taken.size()) << "an address handed out twice";
    pool_counts counts;
    ASSERT_TRUE(pool_count(setup, counts, error)) << error.message;
    EXPECT_EQ(counts.in_progress, STATIONS * EACH) << "each reservation stored once";
    EXPECT_EQ(counts.next, FIRST + STATIONS * EACH);
    pool_close(setup);
}

// The newest version recorded good, which a station asks before its first unit: one row per
// check that the server's function makes, each on records of its own.
TEST(pool_store, TheNewestGoodVersionIsTheHighestNumberOfAGoodOrKeptUnitInTheRange)
{
    pg_database db;
    CREATE_PG_DATABASE(db);
    pool_error error;
    pool_store* store = pool_open(db.url(), true, error);
    ASSERT_TRUE(store) << error.message;
    ASSERT_TRUE(pool_setup(store, FIRST, LAST, 60, error)) << error.message;
    constexpr int64_t OUTSIDE = LAST + 0x1000;
    struct unit {
        const char* image_version;
        const char* result;
        int64_t address;
    };
    const struct {
        const char* check;
        std::vector<unit> units;
        const char* newest;  // over FIRST..LAST
    } cases[] = {
        {"no unit recorded", {}, ""},
        {"a good unit's version", {{"6.05", "good", FIRST}}, "6.05"},
        {"a package's version, its key after it", {{"6.07 key e7e1db490d7fe018", "good", FIRST}}, "6.07"},
        {"a failed unit's version does not count", {{"6.05", "good", FIRST}, {"7.00", "failed", FIRST + 1}}, "6.05"},
        {"a unit kept on re-work counts", {{"6.05", "good", FIRST}, {"6.07", "kept", FIRST + 1}}, "6.07"},
        {"each part compared as a number", {{"6.09", "good", FIRST}, {"6.10", "good", FIRST + 1}}, "6.10"},
        {"the first part as a number too", {{"9.99", "good", FIRST}, {"10.01", "good", FIRST + 1}}, "10.01"},
        {"a raw image has no version", {{"unsigned", "good", FIRST}, {"6.01", "good", FIRST + 1}}, "6.01"},
        {"only the range's addresses", {{"6.05", "good", FIRST}, {"7.00", "good", OUTSIDE}}, "6.05"},
    };
    int64_t reservation = 0;
    for (const auto& c : cases) {
        std::string sql = "DELETE FROM pelmo4rix.records;";
        for (const unit& u : c.units)
            sql += "INSERT INTO pelmo4rix.records VALUES (" + std::to_string(++reservation) +
                   ", now(), 'COM7', " + std::to_string(u.address) + ", '" + u.image_version + "', '3922BA1C', '" +
                   u.result + "', 0, 1, 16.6, 'A');";
        ASSERT_TRUE(db.sql(sql)) << c.check << ": " << db.server->error;
        std::string newest = "unasked";
        ASSERT_TRUE(pool_newest_good_version(store, FIRST, LAST, newest, error)) << c.check << ": " << error.message;
        EXPECT_EQ(newest, c.newest) << c.check;
    }
    std::string every;
    ASSERT_TRUE(pool_newest_good_version(store, -1, -1, every, error)) << error.message;
    EXPECT_EQ(every, "7.00") << "without bounds, every address of the pool";
    pool_close(store);
}

}  // namespace
