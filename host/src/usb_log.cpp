// The bus's request log: the names of URB functions and USBD status codes, the one-line text of
// a logged request as tests compare it and tools print it, the log entries of transfers, and
// their usbmon capture.
#include <algorithm>
#include <cstdio>
#include <string>

#include "host/usb_bus.h"
#include "host/usbmon.h"

namespace host::usb {

namespace {

std::string hex(std::uint64_t value, int digits) {
    char text[20];
    std::snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

} // namespace

std::string usbdStatusName(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS:
        return "SUCCESS";
    case USBD_STATUS_PENDING:
        return "PENDING";
    case USBD_STATUS_CRC:
        return "CRC";
    case USBD_STATUS_STALL_PID:
        return "STALL_PID";
    case USBD_STATUS_DEV_NOT_RESPONDING:
        return "DEV_NOT_RESPONDING";
    case USBD_STATUS_DATA_OVERRUN:
        return "DATA_OVERRUN";
    case USBD_STATUS_DATA_UNDERRUN:
        return "DATA_UNDERRUN";
    case USBD_STATUS_BUFFER_OVERRUN:
        return "BUFFER_OVERRUN";
    case USBD_STATUS_ENDPOINT_HALTED:
        return "ENDPOINT_HALTED";
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return "INVALID_URB_FUNCTION";
    case USBD_STATUS_INVALID_PARAMETER:
        return "INVALID_PARAMETER";
    case USBD_STATUS_INVALID_PIPE_HANDLE:
        return "INVALID_PIPE_HANDLE";
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return "INSUFFICIENT_RESOURCES";
    case USBD_STATUS_DEVICE_GONE:
        return "DEVICE_GONE";
    case USBD_STATUS_CANCELED:
        return "CANCELED";
    default:
        return "0x" + hex(static_cast<ULONG>(status), 8);
    }
}

std::string urbFunctionName(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return "SELECT_CONFIGURATION";
    case URB_FUNCTION_ABORT_PIPE:
        return "ABORT_PIPE";
    case URB_FUNCTION_CONTROL_TRANSFER:
        return "CONTROL_TRANSFER";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return "BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return "GET_DESCRIPTOR_FROM_DEVICE";
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        return "SET_FEATURE_TO_DEVICE";
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        return "SET_FEATURE_TO_INTERFACE";
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        return "SET_FEATURE_TO_ENDPOINT";
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        return "CLEAR_FEATURE_TO_DEVICE";
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        return "CLEAR_FEATURE_TO_INTERFACE";
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        return "CLEAR_FEATURE_TO_ENDPOINT";
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        return "GET_STATUS_FROM_DEVICE";
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        return "GET_STATUS_FROM_INTERFACE";
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        return "GET_STATUS_FROM_ENDPOINT";
    case URB_FUNCTION_VENDOR_DEVICE:
        return "VENDOR_DEVICE";
    case URB_FUNCTION_VENDOR_INTERFACE:
        return "VENDOR_INTERFACE";
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return "VENDOR_ENDPOINT";
    case URB_FUNCTION_CLASS_DEVICE:
        return "CLASS_DEVICE";
    case URB_FUNCTION_RESET_PIPE:
        return "RESET_PIPE";
    case kFunctionCyclePort:
        return "CYCLE_PORT";
    default:
        return "0x" + hex(function, 4);
    }
}

std::string Request::text() const {
    // Appended piece by piece: GCC 12 at -O3 misreports `" " + std::string` (-Wrestrict).
    std::string s = urbFunctionName(function);
    auto field = [&s](const std::string& text) {
        s += ' ';
        s += text;
    };
    if (setup) {
        field(hex(setup->bmRequestType, 2));
        field(hex(setup->bRequest, 2));
        field(hex(setup->wValue, 4));
        field(hex(setup->wIndex, 4));
        field(hex(setup->wLength, 4));
    } else if (function != kFunctionCyclePort) {
        field(hex(endpoint, 2));
    }
    if (!data.empty()) {
        s += in ? " in " : " out ";
        for (std::uint8_t b : data) {
            s += hex(b, 2);
        }
    }
    field(usbdStatusName(status));
    return s;
}

std::vector<std::string> Bus::logText() const {
    std::vector<std::string> lines;
    for (const Request& r : log_) {
        lines.push_back(r.text());
    }
    return lines;
}

Request Bus::pendingRequest(const Transfer& t) const {
    std::span<const std::uint8_t> out = t.out();
    return Request{t.id,
                   now(),
                   -1,
                   t.function,
                   t.endpoint,
                   t.setup,
                   t.in,
                   t.requested,
                   {out.begin(), out.end()},
                   USBD_STATUS_PENDING,
                   STATUS_PENDING};
}

void Bus::record(const Transfer& t) {
    if (!logging_) {
        return;
    }
    if (log_.size() >= logLimit_) {
        log_.erase(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(logLimit_ / 2));
    }
    log_.push_back(pendingRequest(t));
}

Request* Bus::logEntry(const Transfer& t) {
    // Ids grow: a transfer outside the logged range (logging off, or dropped) has no entry.
    if (log_.empty() || t.id < log_.front().id || t.id > log_.back().id) {
        return nullptr;
    }
    auto it = std::lower_bound(log_.begin(), log_.end(), t.id,
                               [](const Request& r, std::uint64_t id) { return r.id < id; });
    return it != log_.end() && it->id == t.id ? &*it : nullptr;
}

// ---- capture -----------------------------------------------------------------------------------

void Bus::captureSubmit(Transfer& t) {
    bool wire = t.setup.has_value() || t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    if (capture_ == nullptr || !wire) {
        return;
    }
    t.captured = true;
    UsbmonEvent e;
    e.id = t.id;
    e.type = 'S';
    e.xferType = t.setup                               ? XferType::Control
                 : t.pipeType == UsbdPipeTypeInterrupt ? XferType::Interrupt
                                                       : XferType::Bulk;
    e.endpoint = t.endpoint;
    e.time = now();
    e.status = usbmon_errno::kInProgress;
    e.length = static_cast<std::uint32_t>(t.requested);
    e.setup = t.setup;
    e.data = t.out();
    e.interval = t.pipeType == UsbdPipeTypeInterrupt ? t.interval : 0;
    capture_->write(e);
}

void Bus::captureComplete(const Transfer& t) {
    if (capture_ == nullptr || !t.captured) {
        return;
    }
    UsbmonEvent e;
    e.id = t.id;
    e.type = 'C';
    e.xferType = t.setup                               ? XferType::Control
                 : t.pipeType == UsbdPipeTypeInterrupt ? XferType::Interrupt
                                                       : XferType::Bulk;
    e.endpoint = t.endpoint;
    e.time = now();
    e.status = usbmonStatus(t.result.value_or(USBD_STATUS_ERROR), t.aborted);
    e.length = static_cast<std::uint32_t>(t.moved);
    e.data = t.received();
    e.interval = t.pipeType == UsbdPipeTypeInterrupt ? t.interval : 0;
    capture_->write(e);
}

} // namespace host::usb
