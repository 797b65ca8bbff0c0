// Where code goes in the image. DriverEntry runs once and sits in the discardable INIT section;
// routines that only ever run at PASSIVE_LEVEL (initialize, halt, the ledger's release walk) may
// sit in pageable code, in a PAGE section. The host build has no such sections.
#pragma once

#if defined(KT735N_WINDOWS)
#define KT735N_INIT_CODE __attribute__((section("INIT")))
#define KT735N_PAGED_CODE __attribute__((section("PAGE")))
#else
#define KT735N_INIT_CODE
#define KT735N_PAGED_CODE
#endif
