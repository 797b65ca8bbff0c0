// Where code goes in the image. DriverEntry runs once and sits in the discardable INIT section;
// routines that only ever run at PASSIVE_LEVEL (initialize, halt, the ledger's release walk) may
// sit in pageable code, in a PAGE section. The host build carries the same sections in its
// executable, where they are ordinary code.
#pragma once

#define KT735N_INIT_CODE __attribute__((section("INIT")))
#define KT735N_PAGED_CODE __attribute__((section("PAGE")))
