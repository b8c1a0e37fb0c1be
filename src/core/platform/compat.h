// Compiler differences, in one place: everything else is standard C++17.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ORBISYN_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define ORBISYN_PRINTF(format_index, first_arg)
#endif
