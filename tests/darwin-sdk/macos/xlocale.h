// For a macOS target, libc++ takes its locale functions from <xlocale.h>, which Apple's C library
// has and glibc does not. glibc's headers declare most of them; this adds the BSD ones that
// glibc lacks, and removes glibc's macro forms of the ctype ones, which take a locale_t
// expression that libc++'s null C locale is not.
#pragma once

#include <ctype.h>
#include <locale.h>
#include <stddef.h>

#undef isalnum_l
#undef isalpha_l
#undef isblank_l
#undef iscntrl_l
#undef isdigit_l
#undef isgraph_l
#undef islower_l
#undef isprint_l
#undef ispunct_l
#undef isspace_l
#undef isupper_l
#undef isxdigit_l
#undef tolower_l
#undef toupper_l

#ifdef __cplusplus
extern "C" {
#endif

int asprintf_l(char** ret, locale_t loc, const char* format, ...);
int snprintf_l(char* str, size_t size, locale_t loc, const char* format, ...);
int sscanf_l(const char* str, locale_t loc, const char* format, ...);

#ifdef __cplusplus
}
#endif
