// The chip's MII and EEPROM windows: one command write, then a bounded poll of the done bit.
//
// A failed read leaves the previous bytes in RegisterReadBuffer. The reads therefore report a
// failed transfer instead of taking those bytes as the PHY's or the EEPROM's answer; the MII
// write takes the buffer as it is and lets its poll run to its bound. Every wait is bounded: at
// most 4 MII polls, at most 100 EEPROM polls.
#include "chip/chip.h"
#include "usb/registers.h"
#include "usb/usb.h"

// Writes one 16-bit MII register of a PHY: [PHY address, value low, value high, 0x20 | register]
// at 0x25, then polls MiiControl (a 2-byte read at 0x28) up to four times, 100 µs after each
// read, until the done bit shows. After the fourth read the write counts as done regardless.
// IRQL: PASSIVE_LEVEL. Locks: none; the caller owns the register buffers for the sequence.
VOID MiiWrite(Adapter* adapter, UCHAR phyAddress, UCHAR registerNumber, USHORT value) {
    adapter->RegisterWriteBuffer[0] = phyAddress;
    adapter->RegisterWriteBuffer[1] = (UCHAR)(value & 0xFF);
    adapter->RegisterWriteBuffer[2] = (UCHAR)(value >> 8);
    adapter->RegisterWriteBuffer[3] =
        (UCHAR)(MII_WINDOW_WRITE | (registerNumber & MII_REGISTER_MASK));
    WriteRegisters(adapter, MII_WINDOW_COMMAND_LENGTH, MiiPhyAddress);

    for (ULONG reads = 0; reads < MII_POLL_LIMIT; ++reads) {
        ReadRegisters(adapter, 2, MiiControl);
        SleepMicroseconds(MII_POLL_PAUSE_US);
        if ((adapter->RegisterReadBuffer[0] & MII_WINDOW_DONE) != 0) {
            break;
        }
    }
}

// Reads one 16-bit MII register of a PHY: [PHY address, 0, 0, 0x40 | register] at 0x25, then reads
// the whole window (4 bytes at 0x25) up to four times, 100 µs after each read, until the done bit
// of MiiControl shows. The data bytes of the last read are the result, done or not. Returns
// KT735N_OK, or KT735N_FAILED when the command write or a window read failed: the buffer then holds
// an earlier reading (perhaps of another register, done bit and all), so *value is left alone and
// the caller must not decide anything on it.
// IRQL: PASSIVE_LEVEL. Locks: none; the caller owns the register buffers for the sequence.
KT735N_RESULT MiiRead(Adapter* adapter, UCHAR phyAddress, UCHAR registerNumber, PUSHORT value) {
    adapter->RegisterWriteBuffer[0] = phyAddress;
    adapter->RegisterWriteBuffer[1] = 0x00;
    adapter->RegisterWriteBuffer[2] = 0x00;
    adapter->RegisterWriteBuffer[3] =
        (UCHAR)(MII_WINDOW_READ | (registerNumber & MII_REGISTER_MASK));
    if (WriteRegisters(adapter, MII_WINDOW_COMMAND_LENGTH, MiiPhyAddress) != KT735N_OK) {
        return KT735N_FAILED;
    }

    for (ULONG reads = 0; reads < MII_POLL_LIMIT; ++reads) {
        if (ReadRegisters(adapter, MII_WINDOW_COMMAND_LENGTH, MiiPhyAddress) != KT735N_OK) {
            return KT735N_FAILED;
        }
        SleepMicroseconds(MII_POLL_PAUSE_US);
        if ((adapter->RegisterReadBuffer[3] & MII_WINDOW_DONE) != 0) {
            break;
        }
    }
    *value = (USHORT)(adapter->RegisterReadBuffer[2] * 256 + adapter->RegisterReadBuffer[1]);
    return KT735N_OK;
}

// Reads one 16-bit EEPROM word: [word address, 0, 0, 0x02] at 0x20, then up to 100 polls of
// EepromControl (500 µs pause, then a 2-byte read at 0x23) until the ready bit shows, then the data
// (3 bytes at 0x21). *word is EepromData high × 256 + low, ready or not. Returns KT735N_OK, or
// KT735N_FAILED when any of the transfers failed (*word is then left alone: the buffer would hold
// an earlier reading).
// IRQL: PASSIVE_LEVEL. Locks: none; the caller owns the register buffers for the sequence.
KT735N_RESULT EepromReadWord(Adapter* adapter, UCHAR wordAddress, PUSHORT word) {
    adapter->RegisterWriteBuffer[0] = wordAddress;
    adapter->RegisterWriteBuffer[1] = 0x00;
    adapter->RegisterWriteBuffer[2] = 0x00;
    adapter->RegisterWriteBuffer[3] = EEPROM_CONTROL_READ;
    if (WriteRegisters(adapter, 4, EepromAddress) != KT735N_OK) {
        return KT735N_FAILED;
    }

    for (ULONG polls = 0; polls < EEPROM_POLL_LIMIT; ++polls) {
        SleepMicroseconds(EEPROM_POLL_PAUSE_US);
        if (ReadRegisters(adapter, 2, EepromControl) != KT735N_OK) {
            return KT735N_FAILED;
        }
        if ((adapter->RegisterReadBuffer[0] & EEPROM_CONTROL_DONE) != 0) {
            break;
        }
    }
    if (ReadRegisters(adapter, 3, EepromData) != KT735N_OK) {
        return KT735N_FAILED;
    }
    *word = (USHORT)(adapter->RegisterReadBuffer[1] * 256 + adapter->RegisterReadBuffer[0]);
    return KT735N_OK;
}

// Reads the factory MAC address from EEPROM words 0 to 2, low byte of each word first, into
// PermanentAddress. Word 3 is read as well and discarded. The address is taken as read: no check
// for zero, broadcast or group addresses. Returns KT735N_OK, or KT735N_FAILED at the first word
// that could not be read (PermanentAddress is then not written).
// IRQL: PASSIVE_LEVEL. Locks: none; the caller owns the register buffers for the sequence.
KT735N_RESULT ReadPermanentAddress(Adapter* adapter) {
    UCHAR words[8];
    for (UCHAR address = 0; address < 4; ++address) {
        USHORT word = 0;
        if (EepromReadWord(adapter, address, &word) != KT735N_OK) {
            return KT735N_FAILED;
        }
        words[address * 2] = (UCHAR)(word & 0xFF);
        words[address * 2 + 1] = (UCHAR)(word >> 8);
    }
    NdisMoveMemory(adapter->PermanentAddress, words, sizeof(adapter->PermanentAddress));
    return KT735N_OK;
}
