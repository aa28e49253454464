// Where the processor can work on four doubles in one instruction, the
// functions marked with this run so (Linux on x86-64, chosen when the program
// loads); elsewhere, and in the Windows builds, as the baseline instruction
// set has it, SSE2 on x86. Both give the same bits: only operations each lane
// would do alone, rounded as there.
#pragma once

// (Not with clang, whose resolvers for functions local to a file do not link.)
#if defined(__x86_64__) && defined(__linux__) && !defined(__clang__)
#  define VANTREL_WIDE_CLONES __attribute__((target_clones("avx", "default")))
#else
#  define VANTREL_WIDE_CLONES
#endif
