// The resource ledger: every NDIS allocation of the initialization path is recorded in an entry
// and given back by one walk at halt or at failed initialization, newest first, the Adapter last.
//
// Entries come from blocks of 15, each one NDIS allocation whose first entry records the block
// itself. Entries are handed out once and never reused. No lock: the ledger is used only from
// MiniportInitialize and MiniportHalt, which NDIS calls at PASSIVE_LEVEL and never concurrently
// for one adapter.
#include "adapter/adapter.h"
#include "platform/placement.h"

ULONG LedgerBlockTag = KT735N_LEDGER_BLOCK_TAG_FIRST;
ULONG TrackedAllocationTag = KT735N_TRACKED_TAG_FIRST;

#define LEDGER_BLOCK_LENGTH ((ULONG)(sizeof(LedgerEntry) * LEDGER_ENTRIES_PER_BLOCK))

// Moves the head of the free list to the head of the active list.
// IRQL: PASSIVE_LEVEL. Locks: none.
static LedgerEntry* MoveFreeHeadToActive(Adapter* adapter) {
    LedgerEntry* entry = adapter->LedgerFreeHead;
    adapter->LedgerFreeHead = entry->Next;
    if (adapter->LedgerFreeHead != NULL) {
        adapter->LedgerFreeHead->Prev = NULL;
    } else {
        adapter->LedgerFreeTail = NULL;
    }
    adapter->LedgerFreeCount--;

    entry->Prev = NULL;
    entry->Next = adapter->LedgerActiveHead;
    if (adapter->LedgerActiveHead != NULL) {
        adapter->LedgerActiveHead->Prev = entry;
    } else {
        adapter->LedgerActiveTail = entry;
    }
    adapter->LedgerActiveHead = entry;
    adapter->LedgerActiveCount++;
    return entry;
}

// Allocates one ledger block, cuts it into entries on the free list and records the block in
// its own first entry. Returns KT735N_FAILED when NDIS gives no memory.
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_RESULT AddLedgerBlock(Adapter* adapter) {
    PVOID block = NULL;
    ULONG tag = (ULONG)InterlockedIncrement((PLONG)&LedgerBlockTag) - 1;
    NDIS_STATUS status = NdisAllocateMemoryWithTag(&block, LEDGER_BLOCK_LENGTH, tag);
    if (status != NDIS_STATUS_SUCCESS || block == NULL) {
        return KT735N_FAILED;
    }
    NdisZeroMemory(block, LEDGER_BLOCK_LENGTH);

    LedgerEntry* entries = (LedgerEntry*)block;
    for (ULONG i = 0; i < LEDGER_ENTRIES_PER_BLOCK; i++) {
        LedgerEntry* entry = &entries[i];
        entry->Next = NULL;
        entry->Prev = adapter->LedgerFreeTail;
        if (adapter->LedgerFreeTail != NULL) {
            adapter->LedgerFreeTail->Next = entry;
        } else {
            adapter->LedgerFreeHead = entry;
        }
        adapter->LedgerFreeTail = entry;
        adapter->LedgerFreeCount++;
    }

    LedgerEntry* self = MoveFreeHeadToActive(adapter);
    self->Kind = LEDGER_KIND_MEMORY;
    self->Payload.Memory.Length = LEDGER_BLOCK_LENGTH;
    self->Payload.Memory.Address = block;
    return KT735N_OK;
}

// A block's own record is its first entry and points at the block, that is at itself.
// IRQL: any. Locks: none.
static BOOLEAN IsLedgerBlockRecord(const LedgerEntry* entry) {
    return (BOOLEAN)(entry->Kind == LEDGER_KIND_MEMORY &&
                     entry->Payload.Memory.Address == (const VOID*)entry);
}

// Gives back the resource an entry records. Everything needed is read before the call, since
// the entry may lie in memory the call frees.
// IRQL: PASSIVE_LEVEL. Locks: none.
static VOID ReleaseLedgerEntry(NDIS_HANDLE miniportAdapterHandle, LedgerEntry* entry) {
    switch (entry->Kind) {
    case LEDGER_KIND_MEMORY: {
        PVOID address = entry->Payload.Memory.Address;
        ULONG length = entry->Payload.Memory.Length;
        NdisFreeMemory(address, length, 0);
        break;
    }
    case LEDGER_KIND_SHARED_MEMORY:
        NdisMFreeSharedMemory(miniportAdapterHandle, entry->Payload.SharedMemory.Length,
                              entry->Payload.SharedMemory.Cached,
                              entry->Payload.SharedMemory.VirtualAddress,
                              entry->Payload.SharedMemory.PhysicalAddress);
        break;
    case LEDGER_KIND_IO_PORT_RANGE:
        NdisMDeregisterIoPortRange(
            entry->Payload.IoPortRange.AdapterHandle, entry->Payload.IoPortRange.InitialPort,
            entry->Payload.IoPortRange.PortCount, entry->Payload.IoPortRange.PortOffset);
        break;
    case LEDGER_KIND_INTERRUPT:
        NdisMDeregisterInterrupt(&entry->Payload.Interrupt);
        break;
    case LEDGER_KIND_MAP_REGISTERS:
        NdisMFreeMapRegisters(miniportAdapterHandle);
        break;
    case LEDGER_KIND_PACKET_POOL:
        NdisFreePacketPool(entry->Payload.PacketPool.PoolHandle);
        break;
    case LEDGER_KIND_BUFFER_POOL:
        NdisFreeBufferPool(entry->Payload.BufferPool.PoolHandle);
        break;
    default:
        // Kind 0 (the allocation failed) and unknown kinds hold nothing.
        break;
    }
}

// Hands out a fresh entry, zeroed and of kind 0, now at the head of the active list. Adds a
// block first when the free list is empty. Returns NULL when no block could be allocated; the
// caller then has no entry and must fail its allocation.
// IRQL: PASSIVE_LEVEL. Locks: none.
LedgerEntry* LedgerTakeEntry(Adapter* adapter) {
    if (adapter->LedgerFreeHead == NULL) {
        if (AddLedgerBlock(adapter) != KT735N_OK) {
            return NULL;
        }
    }
    LedgerEntry* entry = MoveFreeHeadToActive(adapter);
    adapter->LedgerTakenCount++;
    return entry;
}

// Allocates length bytes of zeroed NDIS memory recorded in the ledger. Returns KT735N_OK with
// *out set, or KT735N_FAILED with *out NULL. When the allocation fails, its entry stays on the
// active list with kind 0. When no entry can be had, nothing is allocated.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_RESULT AllocateTracked(Adapter* adapter, PVOID* out, ULONG length) {
    *out = NULL;
    LedgerEntry* entry = LedgerTakeEntry(adapter);
    if (entry == NULL) {
        return KT735N_FAILED;
    }
    PVOID memory = NULL;
    ULONG tag = (ULONG)InterlockedIncrement((PLONG)&TrackedAllocationTag) - 1;
    NDIS_STATUS status = NdisAllocateMemoryWithTag(&memory, length, tag);
    if (status != NDIS_STATUS_SUCCESS || memory == NULL) {
        return KT735N_FAILED;
    }
    NdisZeroMemory(memory, length);
    entry->Payload.Memory.Length = length;
    entry->Payload.Memory.Address = memory;
    entry->Kind = LEDGER_KIND_MEMORY;
    *out = memory;
    return KT735N_OK;
}

// Gives back everything the ledger records: every entry handed out, newest first (so the
// Adapter's own entry, the oldest, is released last), and then the ledger blocks themselves.
//
// The active list is taken over into locals before anything is released, and the walk follows the
// entries' own links, which live in the blocks: nothing of the Adapter is read once its entry has
// been released. Block records met on the way are set aside, in the order met, on a chain through
// their own Next field and freed after everything else, newest block first, each block's next link
// read before the block goes. After the call the Adapter, if it was recorded, no longer exists.
// IRQL: PASSIVE_LEVEL. Locks: none.
KT735N_PAGED_CODE VOID LedgerReleaseAll(Adapter* adapter) {
    PAGED_CODE();
    NDIS_HANDLE miniportAdapterHandle = adapter->MiniportAdapterHandle;
    LedgerEntry* entry = adapter->LedgerActiveHead;

    adapter->LedgerActiveHead = NULL;
    adapter->LedgerActiveTail = NULL;
    adapter->LedgerActiveCount = 0;
    adapter->LedgerFreeHead = NULL;
    adapter->LedgerFreeTail = NULL;
    adapter->LedgerFreeCount = 0;
    adapter->LedgerTakenCount = 0;
    adapter = NULL; // may be freed by the walk below

    LedgerEntry* blocks = NULL; // newest block first, linked through the records' Next
    LedgerEntry* lastBlock = NULL;
    while (entry != NULL) {
        LedgerEntry* next = entry->Next;
        if (next != NULL) {
            next->Prev = NULL;
        }
        if (IsLedgerBlockRecord(entry)) {
            entry->Next = NULL;
            if (lastBlock != NULL) {
                lastBlock->Next = entry;
            } else {
                blocks = entry;
            }
            lastBlock = entry;
        } else {
            ReleaseLedgerEntry(miniportAdapterHandle, entry);
        }
        entry = next;
    }

    while (blocks != NULL) {
        LedgerEntry* next = blocks->Next;
        ReleaseLedgerEntry(miniportAdapterHandle, blocks);
        blocks = next;
    }
}
