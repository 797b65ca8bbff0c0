// The KT735's chip register map as the driver uses it, and the vendor register protocol.
//
// Every chip register is reached with one vendor control request on the default pipe: bRequest
// 0xF0 reads, 0xF1 writes, wIndex is the first register, wLength the number of registers. A
// multi-byte access covers the registers that follow the first, one byte per register.
#pragma once

#include "platform/platform.h"
#include "usb/mii.h"

// Vendor requests of the register protocol.
#define KT735_REQUEST_READ_REGISTERS 0xF0
#define KT735_REQUEST_WRITE_REGISTERS 0xF1

// Every register index the driver reads or writes, named as the chip's map names it. A name
// that covers several registers gives the first; its length follows.
enum ChipRegister {
    Control0 = 0x00,       // receive/transmit enable 0xC0, all-multicast 0x02, no flow control 0x20
    Control1 = 0x01,       // 100 Mbit/s 0x10, full duplex 0x20
    Control2 = 0x02,       // promiscuous 0x04
    MulticastTable = 0x08, // 0x08-0x0F
    StationAddress = 0x10, // 0x10-0x15
    TxFlowControl = 0x1A,
    RxFlowControl = 0x1B,
    AliveControl = 0x1C, // written with 0x1D
    EepromAddress = 0x20,
    EepromData = 0x21, // 0x21-0x22, low byte first
    EepromControl = 0x23,
    MiiPhyAddress = 0x25,
    MiiData = 0x26, // 0x26-0x27, low byte first
    MiiControl = 0x28,
    WakeFrame0 = 0x30, // 0x30-0x42
    WakeFrame1 = 0x48, // 0x48-0x5A
    WakeFrame2 = 0x60, // 0x60-0x72
    WakeControl = 0x78,
    Register7A = 0x7A,
    Register7E = 0x7E,
    MediumSelect = 0x7F, // 0x7F-0x81
};

#define MULTICAST_TABLE_LENGTH 8
#define STATION_ADDRESS_LENGTH 6
#define WAKE_FRAME_LENGTH 19
#define MEDIUM_SELECT_LENGTH 3

// MediumSelect: the first and third bytes for each medium, the middle one being 0x00. The link
// watch's way back to Ethernet writes the first two bytes only, 0x81 keeping its value.
#define MEDIUM_SELECT_ETHERNET 0x26
#define MEDIUM_SELECT_ETHERNET_THIRD 0x02
#define MEDIUM_SELECT_ETHERNET_BACK 0x24
#define MEDIUM_SELECT_PHONE_LINE 0x34
#define MEDIUM_SELECT_PHONE_LINE_THIRD 0x06

// Control registers.
#define CONTROL0_RECEIVE_TRANSMIT 0xC0
#define CONTROL0_NO_FLOW_CONTROL 0x20
#define CONTROL0_ALL_MULTICAST 0x02
#define CONTROL1_100_MBITS 0x10
#define CONTROL1_FULL_DUPLEX 0x20
#define CONTROL2_PROMISCUOUS 0x04

// WakeControl: the enable bit of each wake-up frame slot.
#define WAKE_CONTROL_SLOT0 0x20
#define WAKE_CONTROL_SLOT1 0x10
#define WAKE_CONTROL_SLOT2 0x08

// EEPROM window: 0x02 in EepromControl starts a word read; 0x04 reads as set when it is ready.
#define EEPROM_CONTROL_READ 0x02
#define EEPROM_CONTROL_DONE 0x04

// MII window: a command is 4 bytes from MiiPhyAddress on (PHY address, data low, data high,
// command); the command in MiiControl is the operation ORed with the MII register number, and
// 0x80 reads as set when the operation is done.
#define MII_WINDOW_COMMAND_LENGTH 4
#define MII_WINDOW_WRITE 0x20
#define MII_WINDOW_READ 0x40
#define MII_WINDOW_DONE 0x80
