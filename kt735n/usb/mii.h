// The PHYs' management registers as the driver uses them: the IEEE 802.3 clause 22 registers
// and bits of the Ethernet PHY (the phone-line PHY shares the first ones) and the phone-line
// PHY's vendor registers. The driver reaches them through the chip's MII window (registers.h).
#pragma once

// MII addresses of the two PHYs.
#define PHY_ADDRESS_ETHERNET 1
#define PHY_ADDRESS_PHONE_LINE 2

// Clause 22 registers.
#define MII_CONTROL 0x00
#define MII_STATUS 0x01
#define MII_PHY_ID1 0x02
#define MII_PHY_ID2 0x03
#define MII_ADVERTISEMENT 0x04
#define MII_PARTNER_ABILITY 0x05
// The register number field of an MII command.
#define MII_REGISTER_MASK 0x1F

// MII_CONTROL bits.
#define MII_CONTROL_RESET 0x8000
#define MII_CONTROL_100_MBITS 0x2000
#define MII_CONTROL_NEGOTIATION_ENABLE 0x1000
#define MII_CONTROL_ISOLATE 0x0400
#define MII_CONTROL_RESTART_NEGOTIATION 0x0200

// MII_STATUS bits.
#define MII_STATUS_NEGOTIATION_COMPLETE 0x0020
#define MII_STATUS_LINK 0x0004

// MII_ADVERTISEMENT and MII_PARTNER_ABILITY: the technology bits and the selector field.
#define MII_ABILITY_100_FULL 0x0100
#define MII_ABILITY_100_HALF 0x0080
#define MII_ABILITY_10_FULL 0x0040
#define MII_ABILITY_10_HALF 0x0020
#define MII_ABILITY_TECHNOLOGIES                                                                   \
    (MII_ABILITY_100_FULL | MII_ABILITY_100_HALF | MII_ABILITY_10_FULL | MII_ABILITY_10_HALF)
#define MII_SELECTOR_MASK 0x001F
#define MII_SELECTOR_802_3 0x0001
// Every technology of the 802.3 selector: what auto-negotiation advertises.
#define MII_ADVERTISE_ALL_802_3 (MII_ABILITY_TECHNOLOGIES | MII_SELECTOR_802_3)

// The phone-line PHY's vendor registers: 0x19 takes a value per PHY variant (IdentifyPhy),
// 0x1F selects the page that 0x06 and 0x07 belong to.
#define PHONE_LINE_REGISTER_06 0x06
#define PHONE_LINE_REGISTER_07 0x07
#define PHONE_LINE_REGISTER_19 0x19
#define PHONE_LINE_PAGE_SELECT 0x1F
