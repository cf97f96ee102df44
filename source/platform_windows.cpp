// Windows: the kernel's file and local-memory services are used directly;
// only the working buffers need a home of their own.
#include <stdlib.h>

#include "source/platform.h"

void* AllocateWorkBuffer(size_t bytes) { return malloc(bytes == 0 ? 1 : bytes); }

void FreeWorkBuffer(void* buffer) { free(buffer); }
