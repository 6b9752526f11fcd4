// Declarations only, for compile-checking the macOS backend on other systems. boolean_t differs
// by architecture: int on arm64, unsigned int on x86_64, so code must test it against 0 rather
// than compare it with a signed or unsigned value.
#pragma once

#if defined(__arm64__) || defined(__aarch64__)
typedef int boolean_t;
#else
typedef unsigned int boolean_t;
#endif
