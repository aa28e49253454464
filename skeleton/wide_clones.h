// Where the processor can work on four doubles in one instruction, the
// functions marked with this run so; elsewhere (other processors, Windows
// builds) they run as plain SSE2 code. Both give the same bits: only
// operations each lane would do alone, rounded as there.
#pragma once

#if defined(__x86_64__) && defined(__linux__)
#  define VANTREL_WIDE_CLONES __attribute__((target_clones("avx", "default")))
#else
#  define VANTREL_WIDE_CLONES
#endif
