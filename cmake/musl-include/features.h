// features.h - musl's features.h, plus the glibc version test that
// libstdc++'s headers make: they were configured for glibc, and under musl
// every "is this glibc X.Y or newer" is false.
#pragma once
#include_next <features.h>
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
