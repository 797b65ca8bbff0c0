// The Adapter record and its resource ledger, on the host's NDIS memory: entries and blocks,
// the advancing tags, tracked allocations and their failures, and the release walk.
//
// The two tags are driver-wide and keep advancing across tests in one process, so every test
// reads them first and checks what changed.
#include <host/ndis.h>
#include <host/testing.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "driver/handlers.h"

namespace kt735n_test {
namespace {

using host::Memory;

class LedgerTest : public host::testing::WorldTest {
  protected:
    Adapter* create() {
        Adapter* adapter = nullptr;
        EXPECT_EQ(CreateAdapter(nullptr, nullptr, &adapter), NDIS_STATUS_SUCCESS);
        return adapter;
    }

    // Entries of the active list, newest first, checked against the counts and back links.
    static std::vector<LedgerEntry*> active(const Adapter* adapter) {
        std::vector<LedgerEntry*> entries;
        LedgerEntry* previous = nullptr;
        for (LedgerEntry* e = adapter->LedgerActiveHead; e != nullptr; e = e->Next) {
            EXPECT_EQ(e->Prev, previous);
            entries.push_back(e);
            previous = e;
        }
        EXPECT_EQ(adapter->LedgerActiveTail, previous);
        EXPECT_EQ(entries.size(), adapter->LedgerActiveCount);
        return entries;
    }

    static bool allZero(const void* p, std::size_t length) {
        const auto* bytes = static_cast<const unsigned char*>(p);
        return std::all_of(bytes, bytes + length, [](unsigned char c) { return c == 0; });
    }

    std::string leaks() { return memory().leakReport(Memory::Kind::Ndis); }

    static void expectMemory(const LedgerEntry* entry, const void* address, std::size_t length) {
        EXPECT_EQ(entry->Kind, ULONG{LEDGER_KIND_MEMORY});
        EXPECT_EQ(entry->Payload.Memory.Address, address);
        EXPECT_EQ(entry->Payload.Memory.Length, length);
    }

    static PVOID tracked(Adapter* adapter, ULONG length) {
        PVOID p = nullptr;
        EXPECT_EQ(AllocateTracked(adapter, &p, length), ULONG{KT735N_OK});
        return p;
    }

    // A packet pool (or a buffer pool) recorded in a fresh ledger entry.
    NDIS_HANDLE recordPool(Adapter* adapter, ULONG kind) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        NDIS_HANDLE pool = nullptr;
        LedgerEntry* entry = LedgerTakeEntry(adapter);
        if (kind == LEDGER_KIND_PACKET_POOL) {
            NdisAllocatePacketPool(&status, &pool, 20, 16);
            entry->Payload.PacketPool.PoolHandle = pool;
        } else {
            NdisAllocateBufferPool(&status, &pool, 20);
            entry->Payload.BufferPool.PoolHandle = pool;
        }
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        entry->Kind = kind;
        return pool;
    }

    // Releases the ledger. Returns every freed address in order; for each free of a named
    // address, `events` gets its name and which of the two pools were still alive ("PB", "P-").
    std::vector<void*> release(Adapter* adapter,
                               const std::vector<std::pair<void*, std::string>>& names = {},
                               NDIS_HANDLE packetPool = nullptr, NDIS_HANDLE bufferPool = nullptr) {
        std::vector<void*> freed;
        events.clear();
        auto previous = memory().onFree;
        memory().onFree = [&](void* p, std::size_t size) {
            freed.push_back(p);
            for (const auto& [address, name] : names) {
                if (address == p) {
                    auto& ndis = world().ndis();
                    events.push_back(name + " " +
                                     (ndis.packetPools().count(packetPool) ? "P" : "-") +
                                     (ndis.bufferPools().count(bufferPool) ? "B" : "-"));
                }
            }
            if (previous) {
                previous(p, size);
            }
        };
        LedgerReleaseAll(adapter);
        memory().onFree = previous;
        return freed;
    }
    std::vector<std::string> events;
};

// The Adapter record, zeroed and recorded as the first entry of its first block; then tracked
// allocations of odd and even lengths, each zeroed, exact and under the next tag, until the
// fifteenth entry needs a second block under the next block tag, whose own record lands in the
// middle of the active list. The walk gives back every entry newest first, the Adapter after
// all of them, then both blocks: nothing leaks, and the verifier sees no access to freed memory.
TEST_F(LedgerTest, AdapterTrackedAllocationsAndASecondBlockAllComeBack) {
    const ULONG firstBlockTag = LedgerBlockTag;
    Adapter* adapter = create();
    ASSERT_NE(adapter, nullptr);
    const Memory::Allocation* record = memory().find(adapter);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Memory::tagText(record->tag), "aaQZ");
    EXPECT_EQ(record->size, sizeof(Adapter));
    // Everything but the ledger's own fields is zero (the host fills new memory with a pattern).
    EXPECT_TRUE(allZero(adapter, offsetof(Adapter, LedgerActiveHead)));
    EXPECT_TRUE(
        allZero(&adapter->IdleCheckCount, sizeof(Adapter) - offsetof(Adapter, IdleCheckCount)));
    EXPECT_EQ(adapter->LedgerTakenCount, 1);
    EXPECT_EQ(adapter->LedgerFreeCount, 13u);
    std::vector<LedgerEntry*> entries = active(adapter);
    ASSERT_EQ(entries.size(), 2u);
    expectMemory(entries[0], adapter, sizeof(Adapter));
    LedgerEntry* firstBlock = entries[1];
    expectMemory(firstBlock, firstBlock, LEDGER_ENTRIES_PER_BLOCK * sizeof(LedgerEntry));
    EXPECT_EQ(memory().find(firstBlock)->tag, firstBlockTag);
    const ULONG secondBlockTag = firstBlockTag + 1;
    EXPECT_EQ(LedgerBlockTag, secondBlockTag);

    std::vector<void*> allocations;
    for (ULONG length : {1u, 3u, 5u, 7u, 13u, 255u, 1537u, 2u, 4u, 8u, 16u, 64u, 100u, 9u}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(LedgerBlockTag, secondBlockTag); // the first block lasts thirteen of these
        const ULONG tag = TrackedAllocationTag;
        const LONG taken = adapter->LedgerTakenCount;
        PVOID p = tracked(adapter, length);
        ASSERT_NE(memory().find(p), nullptr);
        EXPECT_EQ(memory().find(p)->size, length);
        EXPECT_EQ(memory().find(p)->tag, tag);
        EXPECT_TRUE(allZero(p, length));
        EXPECT_EQ(TrackedAllocationTag, tag + 1);
        EXPECT_EQ(adapter->LedgerTakenCount, taken + 1);
        expectMemory(adapter->LedgerActiveHead, p, length);
        allocations.push_back(p);
    }
    EXPECT_EQ(LedgerBlockTag, secondBlockTag + 1);
    entries = active(adapter);
    ASSERT_EQ(entries.size(), 17u);
    // Newest first: the 15th entry, the second block's record, then the older ones.
    LedgerEntry* secondBlock = entries[1];
    expectMemory(secondBlock, secondBlock, LEDGER_ENTRIES_PER_BLOCK * sizeof(LedgerEntry));
    EXPECT_EQ(memory().find(secondBlock)->tag, secondBlockTag);
    EXPECT_EQ(entries[0], secondBlock + 1);

    std::vector<void*> expected(allocations.rbegin(), allocations.rend());
    expected.insert(expected.end(), {adapter, secondBlock, firstBlock});
    EXPECT_EQ(release(adapter), expected);
    EXPECT_EQ(leaks(), "");
    EXPECT_EQ(world().ndis().checkUnload("halt"), 0u);
}

// A failed tracked allocation leaves an entry of kind 0 and still advances the tag. Without a
// block there is no entry: the allocation fails without allocating. Nothing leaks on either path
// (an Adapter that cannot be made, or record itself, is the fault sweep's: ndis #1 and #2).
TEST_F(LedgerTest, FailedAllocationsAndMissingBlocksFailCleanly) {
    Adapter* adapter = create();
    ULONG tag = TrackedAllocationTag;
    LONG taken = adapter->LedgerTakenCount;
    memory().failTag(tag);
    PVOID p = adapter; // anything but NULL
    EXPECT_EQ(AllocateTracked(adapter, &p, 64), ULONG{KT735N_FAILED});
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(TrackedAllocationTag, tag + 1);
    EXPECT_EQ(adapter->LedgerTakenCount, taken + 1);
    EXPECT_EQ(adapter->LedgerActiveHead->Kind, ULONG{LEDGER_KIND_NONE});
    EXPECT_EQ(memory().find(tracked(adapter, 64))->tag, tag + 1); // the next one goes ahead

    while (adapter->LedgerFreeCount > 0) {
        ASSERT_NE(LedgerTakeEntry(adapter), nullptr);
    }
    const ULONG blockTag = LedgerBlockTag;
    tag = TrackedAllocationTag;
    taken = adapter->LedgerTakenCount;
    const std::uint64_t attempts = memory().attempts(Memory::Kind::Ndis);
    memory().failTag(blockTag);
    p = adapter;
    EXPECT_EQ(AllocateTracked(adapter, &p, 32), ULONG{KT735N_FAILED});
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(memory().attempts(Memory::Kind::Ndis), attempts + 1); // the block only
    EXPECT_EQ(LedgerBlockTag, blockTag + 1);
    EXPECT_EQ(TrackedAllocationTag, tag);
    EXPECT_EQ(adapter->LedgerTakenCount, taken);
    LedgerReleaseAll(adapter);
    EXPECT_EQ(leaks(), "");
}

// Pools between memory entries show the pools' place in the order (the receive slots of a real
// bring-up, recorded last, go while both pools are alive); the ledger's other kinds make their
// release calls newest first, and kind 0 or an unknown kind makes none.
TEST_F(LedgerTest, EveryKindIsReleasedByItsOwnCallNewestFirst) {
    Adapter* adapter = create();
    PVOID first = tracked(adapter, 8);
    NDIS_HANDLE packetPool = recordPool(adapter, LEDGER_KIND_PACKET_POOL);
    PVOID middle = tracked(adapter, 8);
    NDIS_HANDLE bufferPool = recordPool(adapter, LEDGER_KIND_BUFFER_POOL);
    PVOID last = tracked(adapter, 8);
    for (ULONG kind : {2u, 0u, 3u, 4u, 9u, 5u}) {
        LedgerTakeEntry(adapter)->Kind = kind;
    }
    {
        host::testing::ExpectViolation unclaimed(host::rule::kUnclaimedResourceReleased);
        release(adapter, {{first, "first"}, {middle, "middle"}, {last, "last"}}, packetPool,
                bufferPool);
        EXPECT_EQ(unclaimed.count(), 4u);
    }
    EXPECT_EQ(world().ndis().unclaimedReleases(),
              (std::vector<std::string>{"NdisMFreeMapRegisters", "NdisMDeregisterInterrupt",
                                        "NdisMDeregisterIoPortRange", "NdisMFreeSharedMemory"}));
    EXPECT_EQ(events, (std::vector<std::string>{"last PB", "middle P-", "first --"}));
    EXPECT_EQ(leaks(), "");
}

} // namespace

} // namespace kt735n_test
