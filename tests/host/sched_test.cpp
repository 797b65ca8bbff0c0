// The scheduler against a model of it: events scheduled with a Callback and records armed,
// re-armed, disarmed and cancelled at random run in (due time, scheduling order) order, and an
// id is pending exactly until its event runs, is cancelled or its record is armed again.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "host/sched.h"

namespace host {
namespace {

using Level = Scheduler::Level;

struct Model {
    struct Entry {
        Time when;
        std::uint64_t order;
        int label;
    };
    std::map<EventId, Entry> pending; // by the id the scheduler gave
    std::uint64_t order = 0;

    void add(EventId id, Time when, int label) {
        // A record has one entry at most: arming it again replaces it.
        std::erase_if(pending,
                      [label](const auto& e) { return label < 100 && e.second.label == label; });
        pending[id] = {when, order++, label};
    }
    // The label of the earliest entry due by `limit`, taken off; -1 if none.
    int pop(Time limit, Time& now) {
        auto first = std::min_element(pending.begin(), pending.end(), [](auto& a, auto& b) {
            return a.second.when != b.second.when ? a.second.when < b.second.when
                                                  : a.second.order < b.second.order;
        });
        if (first == pending.end() || first->second.when > limit) {
            return -1;
        }
        int label = first->second.label;
        now = first->second.when;
        pending.erase(first);
        return label;
    }
};

struct Rig {
    // A record with what its function needs to know.
    struct Record {
        Rig* rig;
        int label;
        Scheduler::Event event;
    };
    Scheduler scheduler;
    Model model;
    std::vector<int> ran;
    std::array<Record, 6> records;

    Rig() {
        for (int i = 0; i < static_cast<int>(records.size()); i++) {
            records[i].rig = this;
            records[i].label = i;
            records[i].event.bind(run, &records[i], "record", Level::Driver);
        }
    }
    // Record 0 arms itself again each time it runs.
    static void run(void* p) {
        auto& record = *static_cast<Record*>(p);
        record.rig->ran.push_back(record.label);
        if (record.label == 0) {
            record.rig->arm(0, record.rig->scheduler.now() + 2 * kMillisecond);
        }
    }
    EventId arm(int r, Time when) {
        EventId id = scheduler.arm(records[r].event, when);
        model.add(id, when, r);
        return id;
    }
};

TEST(Scheduler, RunsInDueTimeThenSchedulingOrderLikeItsModel) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        Rig rig;
        Scheduler& s = rig.scheduler;
        std::mt19937 random(seed);
        auto pick = [&random](unsigned n) { return static_cast<unsigned>(random() % n); };
        std::vector<EventId> ids; // every id handed out, stale ones included
        Time now = 0;
        int nextLabel = 100;
        for (int op = 0; op < 3000; op++) {
            const Time when = now + pick(4) * kMillisecond;
            switch (pick(6)) {
            case 0: {
                const int label = nextLabel++;
                EventId id = s.at(
                    when, [&rig, label] { rig.ran.push_back(label); }, "callback", Level::Driver);
                rig.model.add(id, when, label);
                ids.push_back(id);
                break;
            }
            case 1:
                ids.push_back(rig.arm(static_cast<int>(pick(6)), when));
                break;
            case 2: {
                const int r = static_cast<int>(pick(6));
                const bool modelled = std::erase_if(rig.model.pending, [r](const auto& e) {
                                          return e.second.label == r;
                                      }) != 0;
                ASSERT_EQ(s.disarm(rig.records[r].event), modelled);
                break;
            }
            case 3:
                if (!ids.empty()) {
                    const EventId id = ids[pick(static_cast<unsigned>(ids.size()))];
                    ASSERT_EQ(s.cancel(id), rig.model.pending.erase(id) != 0) << op;
                }
                break;
            default: {
                const Time limit = now + pick(3) * kMillisecond;
                const int expected = rig.model.pop(limit, now);
                rig.ran.clear();
                ASSERT_EQ(s.step(limit), expected >= 0) << op;
                if (expected >= 0) {
                    ASSERT_EQ(rig.ran, std::vector<int>{expected}) << op;
                    ASSERT_EQ(s.now(), now);
                }
                break;
            }
            }
            if (!ids.empty()) {
                const EventId id = ids[pick(static_cast<unsigned>(ids.size()))];
                ASSERT_EQ(s.pending(id), rig.model.pending.count(id) != 0) << op;
            }
            ASSERT_EQ(s.pendingCount(), rig.model.pending.size()) << op;
        }
        // The pool grew only to the most events pending at once, however many were scheduled.
        EXPECT_LE(s.poolSize(), static_cast<std::size_t>(nextLabel - 100));
        EXPECT_LT(s.poolSize(), 200u);
    }
}

TEST(Scheduler, ARecordLeavesNothingBehindWhenItOrTheSchedulerGoesFirst) {
    bool ran = false;
    auto set = [](void* flag) { *static_cast<bool*>(flag) = true; };
    {
        Scheduler s;
        Scheduler::Event kept(set, &ran, "kept", Level::Driver);
        EventId id;
        {
            Scheduler::Event gone(set, &ran, "gone", Level::Driver);
            id = s.arm(gone, 5);
            s.arm(kept, 10);
            EXPECT_TRUE(s.pending(id));
        }
        EXPECT_FALSE(s.pending(id));
        EXPECT_EQ(s.pendingCount(), 1u);
        EXPECT_TRUE(s.step(kForever)); // `kept`, not the freed `gone`
        EXPECT_EQ(s.now(), 10);
        EXPECT_FALSE(s.step(kForever));
        EXPECT_FALSE(kept.armed());
        // Re-armed, and then the scheduler goes before the record does.
        s.arm(kept, 20);
    }
    EXPECT_TRUE(ran);
    auto late = std::make_unique<Scheduler::Event>(set, &ran, "late", Level::Driver);
    {
        Scheduler s;
        s.arm(*late, 1);
    }
    EXPECT_FALSE(late->armed());
    late.reset();
}

} // namespace
} // namespace host
