// Wake-up patterns: NDIS power-management patterns turned into the chip's three wake-up frame
// slots, and the slot enable bits in WakeControl.
//
// A slot is 19 registers: a 16-byte mask (bit j of byte k selects frame byte 8k + j), a zero
// byte, and the CRC-16 of the selected frame bytes, low byte first. The chip compares the CRC
// of the same bytes of every received frame with it. The set handler copies a checked request
// into Adapter.WakePatternBuffer before either routine here runs; NDIS sends set requests one at
// a time, so nothing else uses that buffer, WakeControlShadow or WakeSlotMasks meanwhile.
#include "chip/chip.h"
#include "usb/registers.h"
#include "usb/usb.h"

// Where the mask starts in a request: right behind its NDIS_PM_PACKET_PATTERN.
#define WAKE_PATTERN_HEADER_LENGTH ((ULONG)sizeof(NDIS_PM_PACKET_PATTERN))
// Frame bytes one slot's mask can select.
#define WAKE_PATTERN_MAX_SELECTED (KT735N_WAKE_SLOT_MASK_SIZE * 8)

// First register and WakeControl enable bit of each slot.
static const UCHAR WakeSlotRegister[KT735N_WAKE_SLOT_COUNT] = {WakeFrame0, WakeFrame1, WakeFrame2};
static const UCHAR WakeSlotEnable[KT735N_WAKE_SLOT_COUNT] = {WAKE_CONTROL_SLOT0, WAKE_CONTROL_SLOT1,
                                                             WAKE_CONTROL_SLOT2};

// CRC-16 of polynomial 0x1021, most significant bit first: entry i is the CRC register after
// shifting the byte i through it from a zero register.
static const USHORT WakeCrcTable[256] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7, 0x8108, 0x9129, 0xA14A, 0xB16B,
    0xC18C, 0xD1AD, 0xE1CE, 0xF1EF, 0x1231, 0x0210, 0x3273, 0x2252, 0x52B5, 0x4294, 0x72F7, 0x62D6,
    0x9339, 0x8318, 0xB37B, 0xA35A, 0xD3BD, 0xC39C, 0xF3FF, 0xE3DE, 0x2462, 0x3443, 0x0420, 0x1401,
    0x64E6, 0x74C7, 0x44A4, 0x5485, 0xA56A, 0xB54B, 0x8528, 0x9509, 0xE5EE, 0xF5CF, 0xC5AC, 0xD58D,
    0x3653, 0x2672, 0x1611, 0x0630, 0x76D7, 0x66F6, 0x5695, 0x46B4, 0xB75B, 0xA77A, 0x9719, 0x8738,
    0xF7DF, 0xE7FE, 0xD79D, 0xC7BC, 0x48C4, 0x58E5, 0x6886, 0x78A7, 0x0840, 0x1861, 0x2802, 0x3823,
    0xC9CC, 0xD9ED, 0xE98E, 0xF9AF, 0x8948, 0x9969, 0xA90A, 0xB92B, 0x5AF5, 0x4AD4, 0x7AB7, 0x6A96,
    0x1A71, 0x0A50, 0x3A33, 0x2A12, 0xDBFD, 0xCBDC, 0xFBBF, 0xEB9E, 0x9B79, 0x8B58, 0xBB3B, 0xAB1A,
    0x6CA6, 0x7C87, 0x4CE4, 0x5CC5, 0x2C22, 0x3C03, 0x0C60, 0x1C41, 0xEDAE, 0xFD8F, 0xCDEC, 0xDDCD,
    0xAD2A, 0xBD0B, 0x8D68, 0x9D49, 0x7E97, 0x6EB6, 0x5ED5, 0x4EF4, 0x3E13, 0x2E32, 0x1E51, 0x0E70,
    0xFF9F, 0xEFBE, 0xDFDD, 0xCFFC, 0xBF1B, 0xAF3A, 0x9F59, 0x8F78, 0x9188, 0x81A9, 0xB1CA, 0xA1EB,
    0xD10C, 0xC12D, 0xF14E, 0xE16F, 0x1080, 0x00A1, 0x30C2, 0x20E3, 0x5004, 0x4025, 0x7046, 0x6067,
    0x83B9, 0x9398, 0xA3FB, 0xB3DA, 0xC33D, 0xD31C, 0xE37F, 0xF35E, 0x02B1, 0x1290, 0x22F3, 0x32D2,
    0x4235, 0x5214, 0x6277, 0x7256, 0xB5EA, 0xA5CB, 0x95A8, 0x8589, 0xF56E, 0xE54F, 0xD52C, 0xC50D,
    0x34E2, 0x24C3, 0x14A0, 0x0481, 0x7466, 0x6447, 0x5424, 0x4405, 0xA7DB, 0xB7FA, 0x8799, 0x97B8,
    0xE75F, 0xF77E, 0xC71D, 0xD73C, 0x26D3, 0x36F2, 0x0691, 0x16B0, 0x6657, 0x7676, 0x4615, 0x5634,
    0xD94C, 0xC96D, 0xF90E, 0xE92F, 0x99C8, 0x89E9, 0xB98A, 0xA9AB, 0x5844, 0x4865, 0x7806, 0x6827,
    0x18C0, 0x08E1, 0x3882, 0x28A3, 0xCB7D, 0xDB5C, 0xEB3F, 0xFB1E, 0x8BF9, 0x9BD8, 0xABBB, 0xBB9A,
    0x4A75, 0x5A54, 0x6A37, 0x7A16, 0x0AF1, 0x1AD0, 0x2AB3, 0x3A92, 0xFD2E, 0xED0F, 0xDD6C, 0xCD4D,
    0xBDAA, 0xAD8B, 0x9DE8, 0x8DC9, 0x7C26, 0x6C07, 0x5C64, 0x4C45, 0x3CA2, 0x2C83, 0x1CE0, 0x0CC1,
    0xEF1F, 0xFF3E, 0xCF5D, 0xDF7C, 0xAF9B, 0xBFBA, 0x8FD9, 0x9FF8, 0x6E17, 0x7E36, 0x4E55, 0x5E74,
    0x2E93, 0x3EB2, 0x0ED1, 0x1EF0,
};

// The slot CRC of `length` bytes: polynomial 0x1021, most significant bit first, register
// preset to 0xFFFF, result complemented (CRC-16/GENIBUS; "123456789" gives 0xD64E). No bytes
// give 0x0000.
// IRQL: any. Locks: none.
USHORT WakePatternCrc(const UCHAR* bytes, ULONG length) {
    USHORT crc = 0xFFFF;
    for (ULONG i = 0; i < length; i++) {
        crc = (USHORT)((crc << 8) ^ WakeCrcTable[((crc >> 8) ^ bytes[i]) & 0xFF]);
    }
    return (USHORT)(crc ^ 0xFFFF);
}

// Checks a wake-up pattern request as NDIS hands it over, before anything of it is copied:
// it must hold its NDIS_PM_PACKET_PATTERN, fit WakePatternBuffer, have a mask of at most 16
// bytes lying inside the request and, when the pattern bytes are used (an addition), select no
// byte beyond the request's end. A removal reads only the mask. Returns NDIS_STATUS_SUCCESS,
// NDIS_STATUS_INVALID_LENGTH (too short, with *shortfall the bytes missing to the header; too
// long, with *shortfall 0) or NDIS_STATUS_INVALID_DATA (*shortfall 0).
// IRQL: up to DISPATCH_LEVEL. Locks: none.
NDIS_STATUS CheckWakePatternRequest(const UCHAR* request, ULONG length, BOOLEAN usesPattern,
                                    PULONG shortfall) {
    *shortfall = 0;
    if (length < WAKE_PATTERN_HEADER_LENGTH) {
        *shortfall = WAKE_PATTERN_HEADER_LENGTH - length;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    if (length > KT735N_WAKE_PATTERN_BUFFER_SIZE) {
        return NDIS_STATUS_INVALID_LENGTH;
    }
    NDIS_PM_PACKET_PATTERN header;
    NdisMoveMemory(&header, request, sizeof(header));
    if (header.MaskSize > KT735N_WAKE_SLOT_MASK_SIZE ||
        header.MaskSize > length - WAKE_PATTERN_HEADER_LENGTH) {
        return NDIS_STATUS_INVALID_DATA;
    }
    if (!usesPattern) {
        return NDIS_STATUS_SUCCESS;
    }
    // The last pattern byte the mask selects must lie inside the request.
    const UCHAR* mask = request + WAKE_PATTERN_HEADER_LENGTH;
    for (ULONG k = header.MaskSize; k > 0; k--) {
        UCHAR bits = mask[k - 1];
        if (bits == 0) {
            continue;
        }
        ULONG highest = 8 * (k - 1) + 7;
        while ((bits & 0x80) == 0) {
            bits = (UCHAR)(bits << 1);
            highest--;
        }
        if (header.PatternOffset >= length || highest >= length - header.PatternOffset) {
            return NDIS_STATUS_INVALID_DATA;
        }
        break;
    }
    return NDIS_STATUS_SUCCESS;
}

// Writes [WakeControlShadow, 0x00] to WakeControl and the following register.
// IRQL: PASSIVE_LEVEL. Locks: none; owns RegisterWriteBuffer for the write.
static VOID WriteWakeControl(Adapter* adapter) {
    adapter->RegisterWriteBuffer[0] = adapter->WakeControlShadow;
    adapter->RegisterWriteBuffer[1] = 0x00;
    WriteRegisters(adapter, 2, WakeControl);
}

// Stores the pattern in WakePatternBuffer (checked by CheckWakePatternRequest with the pattern
// bytes in use) in a slot and enables it. The slot is the lowest one whose enable bit is clear;
// with all three enabled, slot 2 is overwritten. A mask of no bytes still takes a slot, with an
// all-zero mask and CRC 0x0000. The register writes are not checked; there is no failure.
// IRQL: PASSIVE_LEVEL (the set work item). Locks: none; NDIS serialises set requests.
VOID AddWakePattern(Adapter* adapter) {
    NDIS_PM_PACKET_PATTERN header;
    NdisMoveMemory(&header, adapter->WakePatternBuffer, sizeof(header));
    const UCHAR* mask = adapter->WakePatternBuffer + WAKE_PATTERN_HEADER_LENGTH;

    // The mask, zero-padded to 16 bytes, and the selected pattern bytes in mask order.
    UCHAR slotMask[KT735N_WAKE_SLOT_MASK_SIZE];
    UCHAR selected[WAKE_PATTERN_MAX_SELECTED];
    ULONG selectedCount = 0;
    NdisZeroMemory(slotMask, sizeof(slotMask));
    for (ULONG k = 0; k < header.MaskSize; k++) {
        slotMask[k] = mask[k];
        for (ULONG j = 0; j < 8; j++) {
            if (mask[k] & (1u << j)) {
                selected[selectedCount++] =
                    adapter->WakePatternBuffer[header.PatternOffset + 8 * k + j];
            }
        }
    }
    USHORT crc = WakePatternCrc(selected, selectedCount);

    ULONG slot;
    if ((adapter->WakeControlShadow & WAKE_CONTROL_SLOT0) == 0) {
        slot = 0;
    } else if ((adapter->WakeControlShadow & WAKE_CONTROL_SLOT1) == 0) {
        slot = 1;
    } else {
        slot = 2;
    }
    adapter->WakeControlShadow |= WakeSlotEnable[slot];

    NdisMoveMemory(adapter->RegisterWriteBuffer, slotMask, sizeof(slotMask));
    NdisMoveMemory(adapter->WakeSlotMasks[slot], slotMask, sizeof(slotMask));
    adapter->RegisterWriteBuffer[16] = 0x00;
    adapter->RegisterWriteBuffer[17] = (UCHAR)(crc & 0xFF);
    adapter->RegisterWriteBuffer[18] = (UCHAR)(crc >> 8);
    WriteRegisters(adapter, WAKE_FRAME_LENGTH, WakeSlotRegister[slot]);
    WriteWakeControl(adapter);
}

// Disables every slot whose stored mask begins with the mask of the pattern in
// WakePatternBuffer (checked by CheckWakePatternRequest), compared over the request's MaskSize
// bytes; a mask of no bytes matches nothing. Several slots may match, already disabled ones
// included. WakeControl is written whether or not one matched; the slots themselves and
// WakeSlotMasks are left as they are.
// IRQL: PASSIVE_LEVEL (the set work item). Locks: none; NDIS serialises set requests.
VOID RemoveWakePattern(Adapter* adapter) {
    NDIS_PM_PACKET_PATTERN header;
    NdisMoveMemory(&header, adapter->WakePatternBuffer, sizeof(header));
    const UCHAR* mask = adapter->WakePatternBuffer + WAKE_PATTERN_HEADER_LENGTH;

    for (ULONG slot = 0; slot < KT735N_WAKE_SLOT_COUNT; slot++) {
        BOOLEAN same = header.MaskSize >= 1;
        for (ULONG k = 0; same && k < header.MaskSize; k++) {
            same = mask[k] == adapter->WakeSlotMasks[slot][k];
        }
        if (same) {
            adapter->WakeControlShadow &= (UCHAR)~WakeSlotEnable[slot];
        }
    }

    WriteWakeControl(adapter);
}
