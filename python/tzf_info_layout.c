/* Prints the size of struct tzf_info and the offset and size of each field,
 * one "name offset size" line each, for the test that compares them with the
 * ctypes record in tzf_pillow.py. */
#include <stddef.h>
#include <stdio.h>

#include "tzf/tzf.h"

#define FIELD(name) \
  printf("%s %zu %zu\n", #name, offsetof(tzf_info, name), sizeof(((tzf_info*)0)->name))

int main(void) {
  printf("sizeof %zu %zu\n", sizeof(tzf_info), (size_t)0);
  FIELD(width);
  FIELD(height);
  FIELD(bits_per_pixel);
  FIELD(version);
  FIELD(palette_size);
  FIELD(palette);
  FIELD(flag_stream_length);
  FIELD(command_stream_length);
  FIELD(literal_offset);
  FIELD(truncated);
  return 0;
}
