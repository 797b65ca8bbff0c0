// NDIS packets and buffers: packet pools of fixed size, buffer pools, and the receive indication
// with NDIS's copy of the data and the later return of kept packets.
#include <algorithm>

#include "host/kernel.h"
#include "host/ndis.h"
#include "host/world.h"
#include "host/smp.h"
#include "ndis_internal.h"

namespace host::ndis {

using namespace internal;

namespace {

// The most buffers NDIS walks in one packet before it decides the chain is broken.
constexpr std::size_t kMaxBuffersPerPacket = 4096;

} // namespace

void Adapter::indicateReceive(PPNDIS_PACKET packets, UINT count) {
    checkNoLocksHeld("NdisMIndicateReceivePacket");
    if (currentIrql() > DISPATCH_LEVEL) [[unlikely]] {
        reportRare(rule::kCallAboveMaxIrql, "NdisMIndicateReceivePacket",
                   [] { return std::string("called above DISPATCH_LEVEL"); });
    }
    for (UINT i = 0; i < count; ++i) {
        PNDIS_PACKET packet = packets[i];
        if (!library_.packetAllocated(packet)) {
            reportRare(rule::kPacketNotFromPool, "NdisMIndicateReceivePacket", [packet] {
                return "packet " + pointer(packet) + " was not allocated from a packet pool";
            });
            continue;
        }
        if (std::any_of(heldPackets_.begin(), heldPackets_.end(),
                        [packet](const auto& held) { return held.first == packet; })) {
            reportRare(rule::kPacketIndicatedTwice, "NdisMIndicateReceivePacket", [packet] {
                return "packet " + pointer(packet) +
                       " is indicated again before NDIS has returned it";
            });
            continue;
        }
        std::vector<std::uint8_t>& frame = indicated_;
        frame.clear(); // for a packet without buffers
        std::size_t walked = 0;
        for (PNDIS_BUFFER b = packet->Private.Head; b != nullptr; b = b->Next) {
            if (++walked > kMaxBuffersPerPacket) {
                reportRare(rule::kBufferChainUnterminated, "NdisMIndicateReceivePacket", [packet] {
                    return "the buffer chain of packet " + pointer(packet) + " does not end";
                });
                break;
            }
            auto* data = static_cast<const std::uint8_t*>(b->StartVa) + b->ByteOffset;
            if (walked == 1) {
                frame.assign(data, data + b->ByteCount);
            } else {
                frame.insert(frame.end(), data, data + b->ByteCount);
            }
        }
        NDIS_STATUS status = NDIS_GET_PACKET_STATUS(packet);
        log_.lastHeaderSize = NDIS_GET_PACKET_HEADER_SIZE(packet);
        deliver([&](Protocol& p) { p.receive(*this, frame, status); });
        if (status == NDIS_STATUS_RESOURCES) {
            continue; // copied; the packet is the miniport's again
        }
        if (chars_ == nullptr || chars_->Ndis40Chars.ReturnPacketHandler == nullptr) {
            reportRare(rule::kIndicateWithoutReturnHandler, "NdisMIndicateReceivePacket", [] {
                return std::string("packet indicated with status other than "
                                   "NDIS_STATUS_RESOURCES, but the miniport has no "
                                   "ReturnPacketHandler");
            });
            continue;
        }
        heldPackets_.emplace_back(
            packet, host::world().scheduler().after(
                        0, [this, packet] { returnPacket(packet); }, "MiniportReturnPacket"));
    }
}

void Adapter::returnPacket(PNDIS_PACKET packet) {
    std::erase_if(heldPackets_, [packet](const auto& held) { return held.first == packet; });
    if (chars_ == nullptr || chars_->Ndis40Chars.ReturnPacketHandler == nullptr) {
        return;
    }
    W_RETURN_PACKET_HANDLER handler = chars_->Ndis40Chars.ReturnPacketHandler;
    callDriverAt(DISPATCH_LEVEL, "MiniportReturnPacket", [&] { handler(context(), packet); });
}

} // namespace host::ndis

using namespace host;
using host::ndis::Library;

extern "C" VOID NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                             UINT NumberOfDescriptors,
                                             UINT ProtocolReservedLength) {
    HostLock::Hold hold;
    Library& ndis = world().ndis();
    *PoolHandle = nullptr;
    if (ndis.attemptFails(Library::Resource::PacketPool)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto pool = std::make_unique<Library::PacketPool>();
    pool->capacity = NumberOfDescriptors;
    pool->protocolReserved = ProtocolReservedLength;
    auto [bytes, oob] = Library::packetLayout(ProtocolReservedLength);
    pool->packetBytes = bytes;
    pool->oobOffset = oob;
    *PoolHandle = pool.get();
    ndis.packetPools()[pool.get()] = std::move(pool);
    *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle) {
    HostLock::Hold hold;
    auto& pools = world().ndis().packetPools();
    auto it = pools.find(PoolHandle);
    if (it == pools.end()) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisFreePacketPool",
                                  "not a packet pool (freed twice?)");
        return;
    }
    if (!it->second->outstanding.empty()) {
        world().verifier().report(rule::kPoolFreedWithItemsOut, "NdisFreePacketPool",
                                  std::to_string(it->second->outstanding.size()) +
                                      " packet(s) of the pool are still allocated");
        auto& packets = world().ndis().packets();
        for (PNDIS_PACKET p : it->second->outstanding) {
            world().ndis().forgetPacket(p);
            packets.erase(p);
            std::free(p);
        }
    }
    pools.erase(it);
}

extern "C" VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet,
                                         NDIS_HANDLE PoolHandle) {
    HostLock::Hold hold;
    Library& ndis = world().ndis();
    *Packet = nullptr;
    auto it = ndis.packetPools().find(PoolHandle);
    if (it == ndis.packetPools().end()) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisAllocatePacket",
                                  "not a packet pool");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    Library::PacketPool& pool = *it->second;
    if (ndis.attemptFails(Library::Resource::Packet) || pool.outstanding.size() >= pool.capacity) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto* packet = static_cast<PNDIS_PACKET>(std::calloc(1, pool.packetBytes));
    packet->Private.Pool = reinterpret_cast<PNDIS_PACKET_POOL>(&pool);
    packet->Private.NdisPacketOobOffset = static_cast<USHORT>(pool.oobOffset);
    packet->Private.ValidCounts = FALSE;
    pool.outstanding.insert(packet);
    ndis.packets()[packet] = &pool;
    *Packet = packet;
    *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet) {
    HostLock::Hold hold;
    auto& packets = world().ndis().packets();
    auto it = packets.find(Packet);
    if (it == packets.end()) {
        world().verifier().report(rule::kPacketNotFromPool, "NdisFreePacket",
                                  "not a packet of a packet pool (freed twice?)");
        return;
    }
    it->second->outstanding.erase(Packet);
    world().ndis().forgetPacket(Packet);
    packets.erase(it);
    std::free(Packet);
}

extern "C" VOID NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                             UINT NumberOfDescriptors) {
    HostLock::Hold hold;
    Library& ndis = world().ndis();
    *PoolHandle = nullptr;
    if (ndis.attemptFails(Library::Resource::BufferPool)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto pool = std::make_unique<Library::BufferPool>();
    pool->capacity = NumberOfDescriptors;
    *PoolHandle = pool.get();
    ndis.bufferPools()[pool.get()] = std::move(pool);
    *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle) {
    HostLock::Hold hold;
    auto& pools = world().ndis().bufferPools();
    auto it = pools.find(PoolHandle);
    if (it == pools.end()) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisFreeBufferPool",
                                  "not a buffer pool (freed twice?)");
        return;
    }
    if (!it->second->outstanding.empty()) {
        world().verifier().report(rule::kPoolFreedWithItemsOut, "NdisFreeBufferPool",
                                  std::to_string(it->second->outstanding.size()) +
                                      " buffer(s) of the pool are still allocated");
        auto& buffers = world().ndis().buffers();
        for (PNDIS_BUFFER b : it->second->outstanding) {
            buffers.erase(b);
            delete b;
        }
    }
    pools.erase(it);
}

extern "C" VOID NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer,
                                         NDIS_HANDLE PoolHandle, PVOID VirtualAddress,
                                         UINT Length) {
    HostLock::Hold hold;
    Library& ndis = world().ndis();
    *Buffer = nullptr;
    auto it = ndis.bufferPools().find(PoolHandle);
    if (it == ndis.bufferPools().end()) {
        world().verifier().report(rule::kNdisHandleInvalid, "NdisAllocateBuffer",
                                  "not a buffer pool");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    if (ndis.attemptFails(Library::Resource::Buffer)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto* buffer = new MDL{};
    buffer->Next = nullptr;
    buffer->Size = sizeof(MDL);
    buffer->StartVa = VirtualAddress;
    buffer->MappedSystemVa = VirtualAddress;
    buffer->ByteOffset = 0;
    buffer->ByteCount = Length;
    it->second->outstanding.insert(buffer);
    ndis.buffers()[buffer] = it->second.get();
    *Buffer = buffer;
    *Status = NDIS_STATUS_SUCCESS;
}

extern "C" VOID NTAPI NdisFreeBuffer(PNDIS_BUFFER Buffer) {
    HostLock::Hold hold;
    auto& buffers = world().ndis().buffers();
    auto it = buffers.find(Buffer);
    if (it == buffers.end()) {
        world().verifier().report(rule::kPacketNotFromPool, "NdisFreeBuffer",
                                  "not a buffer of a buffer pool (freed twice?)");
        return;
    }
    it->second->outstanding.erase(Buffer);
    buffers.erase(it);
    delete Buffer;
}

extern "C" VOID NTAPI NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle,
                                                 PPNDIS_PACKET ReceivePackets,
                                                 UINT NumberOfPackets) {
    host::ndis::internal::underHostLock([=] {
        ndis::Adapter* adapter =
            world().ndis().indicatingAdapter(MiniportAdapterHandle, "NdisMIndicateReceivePacket");
        if (adapter != nullptr) {
            adapter->indicateReceive(ReceivePackets, NumberOfPackets);
        }
    });
}
