// Chip register reads and writes: one vendor control request on the default pipe each, through
// the adapter's RegisterReadBuffer and RegisterWriteBuffer.
#include "usb/registers.h"
#include "usb/usb.h"

// Builds the vendor request URB for a run of registers in the caller's frame and waits for it.
// The URB is zeroed first, so only the fields of the request are set.
// IRQL: PASSIVE_LEVEL. Locks: none.
static KT735N_RESULT SubmitRegisterRequest(Adapter* adapter, UCHAR request, ULONG direction,
                                           USHORT value, USHORT firstRegister, PUCHAR buffer,
                                           USHORT count) {
    URB urb;
    NdisZeroMemory(&urb, sizeof(urb));
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), direction, 0,
                          request, value, firstRegister, buffer, NULL, count, NULL);
    return SubmitUrbSync(adapter, &urb) == KT735N_OK ? KT735N_OK : KT735N_FAILED;
}

// Reads count registers from firstRegister on into RegisterReadBuffer, byte i from register
// firstRegister + i. Returns KT735N_OK, or KT735N_FAILED when no request could be built, the stack
// or the device failed it, it timed out, or the run does not fit the buffer. After a failure the
// buffer holds nothing of this read.
// IRQL: PASSIVE_LEVEL. Locks: none; the caller owns RegisterReadBuffer for the sequence.
KT735N_RESULT ReadRegisters(Adapter* adapter, USHORT count, USHORT firstRegister) {
    if (count > sizeof(adapter->RegisterReadBuffer)) {
        return KT735N_FAILED;
    }
    return SubmitRegisterRequest(adapter, KT735_REQUEST_READ_REGISTERS, USBD_TRANSFER_DIRECTION_IN,
                                 0, firstRegister, adapter->RegisterReadBuffer, count);
}

// Writes the first count bytes of RegisterWriteBuffer to the registers from firstRegister on. A
// one-byte write also carries its value in wValue. Returns KT735N_OK or KT735N_FAILED as
// ReadRegisters does.
// IRQL: PASSIVE_LEVEL. Locks: none; the caller owns RegisterWriteBuffer for the sequence.
KT735N_RESULT WriteRegisters(Adapter* adapter, USHORT count, USHORT firstRegister) {
    if (count > sizeof(adapter->RegisterWriteBuffer)) {
        return KT735N_FAILED;
    }
    USHORT value = count == 1 ? adapter->RegisterWriteBuffer[0] : 0;
    return SubmitRegisterRequest(adapter, KT735_REQUEST_WRITE_REGISTERS,
                                 USBD_TRANSFER_DIRECTION_OUT, value, firstRegister,
                                 adapter->RegisterWriteBuffer, count);
}
