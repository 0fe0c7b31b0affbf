/* libdeflate's decompressor for the 32-bit Windows stub, in its one portable
 * variant: without the BMI2 twin and the CPU check that picks between them,
 * 5 KiB less in the stub that has the least room. The unaligned word loads
 * stay, as on every x86. */
#include "common_defs.h"
#undef COMPILER_SUPPORTS_TARGET_FUNCTION_ATTRIBUTE
#define COMPILER_SUPPORTS_TARGET_FUNCTION_ATTRIBUTE 0
#include "lib/deflate_decompress.c"
