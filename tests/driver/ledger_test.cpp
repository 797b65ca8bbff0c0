// The Adapter record and its resource ledger, on the host's NDIS memory: entries and blocks,
// the advancing tags, tracked allocations and their failures, and the release walk.
//
// The two tags are driver-wide and keep advancing across tests in one process, so every test
// reads them first and checks what changed.
#include <host/ndis.h>
#include <host/testing.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "driver/handlers.h"

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
        for (std::size_t i = 0; i < length; ++i) {
            if (bytes[i] != 0) {
                return false;
            }
        }
        return true;
    }

    // Records every memory free, in order, while alive.
    struct FreeLog {
        explicit FreeLog(Memory& memory) : memory_(memory), previous_(memory.onFree) {
            memory_.onFree = [this](void* p, std::size_t size) {
                freed.push_back(p);
                if (hook) {
                    hook(p);
                }
                if (previous_) {
                    previous_(p, size);
                }
            };
        }
        ~FreeLog() { memory_.onFree = previous_; }
        Memory& memory_;
        std::function<void(void*, std::size_t)> previous_;
        std::function<void(void*)> hook;
        std::vector<void*> freed;
    };

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

    // Releases the ledger; for each free of a named address, its name and which of the two
    // pools were still alive at that moment ("PB", "P-", "--"...), in order.
    std::vector<std::string> releaseNamed(Adapter* adapter,
                                          const std::vector<std::pair<void*, std::string>>& names,
                                          NDIS_HANDLE packetPool, NDIS_HANDLE bufferPool) {
        std::vector<std::string> events;
        FreeLog log(memory());
        log.hook = [&](void* p) {
            for (const auto& [address, name] : names) {
                if (address == p) {
                    auto& ndis = world().ndis();
                    events.push_back(name + " " +
                                     (ndis.packetPools().count(packetPool) ? "P" : "-") +
                                     (ndis.bufferPools().count(bufferPool) ? "B" : "-"));
                }
            }
        };
        LedgerReleaseAll(adapter);
        return events;
    }
};

TEST_F(LedgerTest, CreatedAdapterIsZeroedAndRecordedAsTheFirstEntryOfItsFirstBlock) {
    const ULONG blockTag = LedgerBlockTag;
    Adapter* adapter = create();
    ASSERT_NE(adapter, nullptr);

    const Memory::Allocation* record = memory().find(adapter);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Memory::tagText(record->tag), "aaQZ");
    EXPECT_EQ(record->size, sizeof(Adapter));
    // Everything but the ledger's own fields is zero (the host fills new memory with a pattern).
    EXPECT_TRUE(allZero(adapter, offsetof(Adapter, LedgerActiveHead)));
    EXPECT_EQ(adapter->IdleCheckCount, 0);

    // One block: the returned entry at the head, the block's own record behind it.
    EXPECT_EQ(adapter->LedgerTakenCount, 1);
    EXPECT_EQ(adapter->LedgerFreeCount, 13u);
    std::vector<LedgerEntry*> entries = active(adapter);
    ASSERT_EQ(entries.size(), 2u);
    expectMemory(entries[0], adapter, sizeof(Adapter));
    LedgerEntry* self = entries[1];
    expectMemory(self, self, LEDGER_ENTRIES_PER_BLOCK * sizeof(LedgerEntry));
    ASSERT_NE(memory().find(self), nullptr);
    EXPECT_EQ(memory().find(self)->tag, blockTag);
    EXPECT_EQ(LedgerBlockTag, blockTag + 1);

    LedgerReleaseAll(adapter);
    EXPECT_EQ(leaks(), "");
}

// Fifteen tracked entries: the fifteenth needs a second block, whose own record lands in the
// middle of the active list. The walk still gives back every entry newest first, the Adapter
// after all of them, and then both blocks: nothing leaks, and the verifier sees no access to
// freed memory.
TEST_F(LedgerTest, SecondBlockCarriesTheNextTagAndTheWalkGivesBackEverything) {
    Adapter* adapter = create();
    const ULONG secondBlockTag = LedgerBlockTag;
    LedgerEntry* firstBlock = active(adapter).back();

    std::vector<void*> allocations;
    for (ULONG i = 1; i <= 14; ++i) {
        allocations.push_back(tracked(adapter, i));
        if (i == 13) {
            // 14 handed out (the Adapter and 13 allocations): the first block is used up.
            EXPECT_EQ(adapter->LedgerFreeCount, 0u);
            EXPECT_EQ(LedgerBlockTag, secondBlockTag);
        }
    }
    EXPECT_EQ(LedgerBlockTag, secondBlockTag + 1);
    std::vector<LedgerEntry*> entries = active(adapter);
    ASSERT_EQ(entries.size(), 17u);
    // Newest first: the 15th entry, the second block's record, then the older ones.
    LedgerEntry* secondBlock = entries[1];
    EXPECT_EQ(secondBlock->Payload.Memory.Address, secondBlock);
    EXPECT_EQ(memory().find(secondBlock)->tag, secondBlockTag);
    EXPECT_EQ(entries[0], secondBlock + 1);

    FreeLog log(memory());
    LedgerReleaseAll(adapter);

    std::vector<void*> expected(allocations.rbegin(), allocations.rend());
    expected.push_back(adapter);
    expected.push_back(secondBlock);
    expected.push_back(firstBlock);
    EXPECT_EQ(log.freed, expected);
    EXPECT_EQ(leaks(), "");
    EXPECT_EQ(world().ndis().checkUnload("halt"), 0u);
}

TEST_F(LedgerTest, TrackedAllocationsAreZeroedExactLengthsUnderAdvancingTags) {
    Adapter* adapter = create();
    for (ULONG length : {1u, 3u, 5u, 7u, 13u, 255u, 1537u}) {
        SCOPED_TRACE(length);
        const ULONG tag = TrackedAllocationTag;
        const LONG taken = adapter->LedgerTakenCount;
        PVOID p = nullptr;
        ASSERT_EQ(AllocateTracked(adapter, &p, length), ULONG{KT735N_OK});
        ASSERT_NE(p, nullptr);
        const Memory::Allocation* a = memory().find(p);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->size, length);
        EXPECT_EQ(a->tag, tag);
        EXPECT_TRUE(allZero(p, length));
        EXPECT_EQ(TrackedAllocationTag, tag + 1);
        EXPECT_EQ(adapter->LedgerTakenCount, taken + 1);
        expectMemory(adapter->LedgerActiveHead, p, length);
    }
    LedgerReleaseAll(adapter);
    EXPECT_EQ(leaks(), "");
}

TEST_F(LedgerTest, FailedTrackedAllocationLeavesAnEmptyEntryAndStillAdvancesTheTag) {
    Adapter* adapter = create();
    const ULONG tag = TrackedAllocationTag;
    const LONG taken = adapter->LedgerTakenCount;
    memory().failTag(tag);

    PVOID p = adapter; // anything but NULL
    EXPECT_EQ(AllocateTracked(adapter, &p, 64), ULONG{KT735N_FAILED});
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(TrackedAllocationTag, tag + 1);
    EXPECT_EQ(adapter->LedgerTakenCount, taken + 1);
    EXPECT_EQ(adapter->LedgerActiveHead->Kind, ULONG{LEDGER_KIND_NONE});

    // The next allocation goes ahead under the next tag; the walk passes over the empty entry.
    ASSERT_EQ(AllocateTracked(adapter, &p, 64), ULONG{KT735N_OK});
    EXPECT_EQ(memory().find(p)->tag, tag + 1);
    LedgerReleaseAll(adapter);
    EXPECT_EQ(leaks(), "");
}

// Without a block there is no entry: the tracked allocation fails without allocating, and an
// Adapter that cannot record itself is given back at once.
TEST_F(LedgerTest, MissingBlockFailsTheAllocationOrTheCreationCleanly) {
    Adapter* adapter = create();
    for (int i = 0; i < 13; ++i) {
        ASSERT_NE(LedgerTakeEntry(adapter), nullptr);
    }
    ASSERT_EQ(adapter->LedgerFreeCount, 0u);
    const ULONG blockTag = LedgerBlockTag;
    const ULONG trackedTag = TrackedAllocationTag;
    const LONG taken = adapter->LedgerTakenCount;
    const std::uint64_t attempts = memory().attempts(Memory::Kind::Ndis);
    memory().failTag(blockTag);

    PVOID p = adapter;
    EXPECT_EQ(AllocateTracked(adapter, &p, 32), ULONG{KT735N_FAILED});
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(memory().attempts(Memory::Kind::Ndis), attempts + 1); // the block only
    EXPECT_EQ(LedgerBlockTag, blockTag + 1);
    EXPECT_EQ(TrackedAllocationTag, trackedTag);
    EXPECT_EQ(adapter->LedgerTakenCount, taken);
    LedgerReleaseAll(adapter);
    EXPECT_EQ(leaks(), "");

    // The Adapter's first block cannot be had.
    memory().failTag(LedgerBlockTag);
    Adapter* none = adapter;
    EXPECT_EQ(CreateAdapter(nullptr, nullptr, &none), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(leaks(), "");

    // The record itself cannot be had: its status comes back, and no block is taken.
    const ULONG before = LedgerBlockTag;
    memory().failTag(KT735N_ADAPTER_TAG);
    EXPECT_EQ(CreateAdapter(nullptr, nullptr, &none), NDIS_STATUS_FAILURE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(LedgerBlockTag, before);
    EXPECT_EQ(leaks(), "");
}

// The eight entries of an adapter's life, released newest first with the Adapter last. Pools
// leave no memory trace, so each memory release also notes which pools were still alive.
TEST_F(LedgerTest, ReleaseWalkGivesBackTheEightEntriesNewestFirstAdapterLast) {
    Adapter* adapter = create();
    LedgerEntry* block = active(adapter).back();
    PVOID configuration = tracked(adapter, 255);
    PVOID interfaceInfo = tracked(adapter, GET_USBD_INTERFACE_SIZE(3));
    PVOID descriptors = tracked(adapter, 60 * (32 + 96 + 1536));
    PVOID txSlots = tracked(adapter, 40 * 8);
    NDIS_HANDLE packetPool = recordPool(adapter, LEDGER_KIND_PACKET_POOL);
    NDIS_HANDLE bufferPool = recordPool(adapter, LEDGER_KIND_BUFFER_POOL);
    PVOID rxSlots = tracked(adapter, 20 * 8);
    EXPECT_EQ(adapter->LedgerTakenCount, 8);

    const std::vector<std::string> events = releaseNamed(adapter,
                                                         {{rxSlots, "rx slots"},
                                                          {txSlots, "tx slots"},
                                                          {descriptors, "descriptors"},
                                                          {interfaceInfo, "interface"},
                                                          {configuration, "configuration"},
                                                          {adapter, "adapter"},
                                                          {block, "block"}},
                                                         packetPool, bufferPool);
    EXPECT_EQ(events, (std::vector<std::string>{"rx slots PB", "tx slots --", "descriptors --",
                                                "interface --", "configuration --", "adapter --",
                                                "block --"}));
    EXPECT_EQ(leaks(), "");
    EXPECT_EQ(world().ndis().checkUnload("halt"), 0u);
}

// Pools between memory entries show the pools' place in the order; the ledger's other kinds
// make their release calls newest first, and kind 0 or an unknown kind makes none.
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
    std::vector<std::string> events;
    {
        host::testing::ExpectViolation unclaimed(host::rule::kNdisMisuse);
        events = releaseNamed(adapter, {{first, "first"}, {middle, "middle"}, {last, "last"}},
                              packetPool, bufferPool);
        EXPECT_EQ(unclaimed.count(), 4u);
    }
    EXPECT_EQ(world().ndis().unclaimedReleases(),
              (std::vector<std::string>{"NdisMFreeMapRegisters", "NdisMDeregisterInterrupt",
                                        "NdisMDeregisterIoPortRange", "NdisMFreeSharedMemory"}));
    EXPECT_EQ(events, (std::vector<std::string>{"last PB", "middle P-", "first --"}));
    EXPECT_EQ(leaks(), "");
}

} // namespace
