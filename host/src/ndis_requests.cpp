// OID requests through the upper edge: a query or set issued as a protocol would, one at a time,
// its completion in the call or later through NdisMQueryInformationComplete or
// NdisMSetInformationComplete, and what the miniport wrote and asked for.
#include <cstring>

#include "host/kernel.h"
#include "host/ndis.h"
#include "host/smp.h"
#include "host/world.h"
#include "ndis_internal.h"

namespace host::ndis {

using namespace internal;

namespace {

// BytesWritten/BytesRead and BytesNeeded before the miniport stores them.
constexpr ULONG kUnwritten = 0xFFFFFFFFu;

} // namespace

Adapter::Request Adapter::finish(const InFlight& request, NDIS_STATUS status) {
    Request r;
    r.status = status;
    r.bytesDoneStored = request.done != kUnwritten;
    r.bytesNeededStored = request.needed != kUnwritten;
    r.bytesDone = r.bytesDoneStored ? request.done : 0;
    r.bytesNeeded = r.bytesNeededStored ? request.needed : 0;
    r.data = request.data;
    auto length = static_cast<ULONG>(request.data.size());
    if (status == NDIS_STATUS_SUCCESS && r.bytesDone > length) {
        report(rule::kRequestBytesBeyondBuffer,
               request.isSet ? "MiniportSetInformation" : "MiniportQueryInformation",
               "OID " + hexValue(request.oid) + (request.isSet ? ": read " : ": wrote ") +
                   std::to_string(r.bytesDone) + " bytes of a buffer of " + std::to_string(length));
    }
    if (!request.isSet && status == NDIS_STATUS_SUCCESS) {
        r.data.resize(std::min<std::size_t>(r.bytesDone, length));
    }
    return r;
}

bool Adapter::waitForRequest(Time limit) {
    if (request_ == nullptr) {
        return true;
    }
    Time deadline = host::world().now() + limit;
    if (waitUntil([this] { return request_ == nullptr; }, deadline, "NDIS request")) {
        return true;
    }
    report(rule::kRequestNeverCompleted,
           request_->isSet ? "MiniportSetInformation" : "MiniportQueryInformation",
           "OID " + hexValue(request_->oid) +
               " returned NDIS_STATUS_PENDING and was not completed");
    request_.reset();
    return false;
}

Adapter::Request Adapter::issue(bool isSet, NDIS_HANDLE context, NDIS_OID oid,
                                std::vector<std::uint8_t> data, bool wait) {
    Request r;
    const Library::Miniport* miniport = library_.miniport(driver_);
    if (miniport == nullptr || (isSet ? base(miniport->chars).SetInformationHandler == nullptr
                                      : base(miniport->chars).QueryInformationHandler == nullptr)) {
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    if (resetInProgress_) {
        r.status = NDIS_STATUS_RESET_IN_PROGRESS;
        return r;
    }
    // NDIS queues a request behind the one the miniport holds.
    waitForRequest();
    if (closing_) {
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    UpperCall call(*this);
    request_ = std::make_unique<InFlight>();
    InFlight& request = *request_;
    request.isSet = isSet;
    request.oid = oid;
    request.data = std::move(data);
    request.done = kUnwritten;
    request.needed = kUnwritten;
    auto length = static_cast<ULONG>(request.data.size());
    PVOID buffer = length != 0 ? request.data.data() : nullptr;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    if (isSet) {
        auto set = base(miniport->chars).SetInformationHandler;
        callDriverAt(DISPATCH_LEVEL, "MiniportSetInformation", [&] {
            status = set(context, oid, buffer, length, &request.done, &request.needed);
        });
    } else {
        auto query = base(miniport->chars).QueryInformationHandler;
        callDriverAt(DISPATCH_LEVEL, "MiniportQueryInformation", [&] {
            status = query(context, oid, buffer, length, &request.done, &request.needed);
        });
    }
    request.returned = true;
    if (status != NDIS_STATUS_PENDING) {
        if (request.completed) {
            report(rule::kRequestCompleteUnpended,
                   isSet ? "NdisMSetInformationComplete" : "NdisMQueryInformationComplete",
                   "OID " + hexValue(oid) +
                       " was completed inside the handler, which then returned " +
                       hexValue(static_cast<ULONG>(status)) + " instead of NDIS_STATUS_PENDING");
        }
        r = finish(request, status);
        request_.reset();
        return r;
    }
    if (request.completed) {
        // Completed inside the handler before it returned NDIS_STATUS_PENDING.
        r = finish(request, request.status);
        r.pended = true;
        request_.reset();
        return r;
    }
    if (!wait) {
        r = finish(request, NDIS_STATUS_PENDING);
        return r;
    }
    if (!waitForRequest()) {
        r.status = NDIS_STATUS_FAILURE;
        return r;
    }
    return lastCompletion_;
}

void Adapter::requestComplete(bool isSet, NDIS_STATUS status, const char* call) {
    if (request_ == nullptr || request_->isSet != isSet || request_->completed) {
        report(rule::kRequestCompleteUnpended, call,
               std::string("no ") + (isSet ? "set" : "query") + " request is pending");
        return;
    }
    if (status == NDIS_STATUS_PENDING) {
        report(rule::kRequestCompletedPending, call, "completed with NDIS_STATUS_PENDING");
    }
    request_->completed = true;
    request_->status = status;
    if (!request_->returned) {
        return; // finished when the handler returns
    }
    lastCompletion_ = finish(*request_, status);
    lastCompletion_.pended = true;
    NDIS_OID oid = request_->oid;
    request_.reset();
    if (isSet) {
        const Request& r = lastCompletion_;
        deliver(
            [&](Protocol& p) { p.setComplete(*this, oid, status, r.bytesDone, r.bytesNeeded); });
    }
}

Adapter::Request Adapter::query(NDIS_OID oid, ULONG length, std::span<const std::uint8_t> input) {
    if (state_ != State::Running) {
        Request r;
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    std::vector<std::uint8_t> buffer(length, Memory::kFillPattern);
    std::copy_n(input.begin(), std::min<std::size_t>(input.size(), length), buffer.begin());
    return issue(false, context(), oid, std::move(buffer), true);
}

Adapter::Request Adapter::set(NDIS_OID oid, std::vector<std::uint8_t> data) {
    if (state_ != State::Running) {
        Request r;
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    return issue(true, context(), oid, std::move(data), true);
}

Adapter::Request Adapter::beginSet(NDIS_OID oid, std::vector<std::uint8_t> data) {
    if (state_ != State::Running) {
        Request r;
        r.status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return r;
    }
    return issue(true, context(), oid, std::move(data), false);
}

Adapter::Request Adapter::setOn(NDIS_HANDLE context, NDIS_OID oid, std::vector<std::uint8_t> data) {
    return issue(true, context, oid, std::move(data), true);
}

Adapter::Request Adapter::queryUlong(NDIS_OID oid, ULONG& value) {
    Request r = query(oid, sizeof(ULONG));
    if (r.status == NDIS_STATUS_SUCCESS) {
        if (r.data.size() != sizeof(ULONG)) {
            r.status = NDIS_STATUS_INVALID_LENGTH;
        } else {
            std::memcpy(&value, r.data.data(), sizeof(ULONG));
        }
    }
    return r;
}

Adapter::Request Adapter::setUlong(NDIS_OID oid, ULONG value) {
    std::vector<std::uint8_t> data(sizeof(ULONG));
    std::memcpy(data.data(), &value, sizeof(ULONG));
    return set(oid, std::move(data));
}

} // namespace host::ndis
