// Test hook of the Linux platform layer: makes the n-th call of a service
// fail and records what is allocated, freed, opened and closed.
//
// The record is per thread, so threads that decode at the same time never
// share it. It is inert until a test sets a failure index or reads it.
#ifndef TZF_SOURCE_PLATFORM_PROBE_H
#define TZF_SOURCE_PLATFORM_PROBE_H

#include <stdint.h>

struct PlatformProbe {
  // 1-based number of the call that fails; 0 means no call fails.
  uint32_t fail_local_alloc_at;
  uint32_t fail_local_lock_at;
  uint32_t fail_work_alloc_at;
  uint32_t fail_read_at;
  uint32_t fail_seek_at;

  // Calls made since the last reset.
  uint32_t local_allocs;
  uint32_t local_locks;
  uint32_t work_allocs;
  uint32_t reads;
  uint32_t seeks;

  // Memory held by local blocks and working buffers together.
  uint64_t live_bytes;
  uint64_t peak_bytes;
  int32_t live_blocks;
  int32_t open_files;
};

// The calling thread's record.
PlatformProbe& platform_probe();

// Clears every counter and failure index of the calling thread's record.
void platform_probe_reset();

#endif
