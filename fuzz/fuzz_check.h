// The check every fuzz target makes: a failed one prints where and why and
// aborts, which the fuzzer reports as a crash with the input that caused it.
#ifndef TZF_FUZZ_FUZZ_CHECK_H
#define TZF_FUZZ_FUZZ_CHECK_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition, ...)                                            \
  do {                                                                        \
    if (!(condition)) fuzz_fail(__FILE__, __LINE__, #condition, __VA_ARGS__); \
  } while (false)

[[noreturn]] inline void fuzz_fail(const char* file, int line, const char* condition,
                                   const char* format, ...) __attribute__((format(printf, 4, 5)));

inline void fuzz_fail(const char* file, int line, const char* condition, const char* format, ...) {
  fprintf(stderr, "\n%s:%d: check failed: %s\n  ", file, line, condition);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fprintf(stderr, "\n");
  abort();
}

#endif
