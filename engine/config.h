// The engine's two configurations, decided here and nowhere else.
//
// The stub's build defines VANTREL_COMPACT to 1: the engine then takes its compact variants,
// which decode the same bytes and build the same trees in less code, and no processor
// extension that the stub's i686 target lacks. Every other build (the tool, the host and
// Windows tests) leaves it undefined, or 0, and takes the fast variants; so does a build
// that merely optimises for size. vantrel_tests_compact runs the host tests with the switch
// on, so that the stub's variants are tested on the host too.
//
// The switches derived from it, each 0 or 1 (test them with #if, not #ifdef):
//   VANTREL_FAST_PATHS  code that only buys speed: the rebuild's stretches of pending nodes
//                       and of leaves of distinct counts (pair_pending_nodes,
//                       pair_distinct_leaves). Off: the tree made one round at a time.
//                       Also the block check's slicing by eight (crc16_of). Off: one
//                       table, one byte at a time.
//   VANTREL_USE_SSE2    SSE2 where the compiler targets it: the rebuild's compare of 32
//                       counts four at a time (differing). Off: a plain loop.
#pragma once

#if defined(VANTREL_FAST_PATHS) || defined(VANTREL_USE_SSE2)
#error "engine/config.h derives the engine's switches from VANTREL_COMPACT; do not set them"
#endif

#if !defined(VANTREL_COMPACT)
#define VANTREL_FAST_PATHS 1
#elif VANTREL_COMPACT == 0
#define VANTREL_FAST_PATHS 1
#elif VANTREL_COMPACT == 1
#define VANTREL_FAST_PATHS 0
#else
#error "VANTREL_COMPACT is 1 (the stub's configuration), 0 or undefined"
#endif

#if VANTREL_FAST_PATHS && defined(__SSE2__)
#define VANTREL_USE_SSE2 1
#else
#define VANTREL_USE_SSE2 0
#endif
