// The platform services the filter uses, under the platform's own names.
//
// On Windows these are the kernel's file and local-memory services. On Linux
// a small layer (platform_linux.cpp) stands in for them: file handles are file
// descriptors, movable local memory is a heap block with a lock count, and
// GetLastError reports errno.
#ifndef TZF_SOURCE_PLATFORM_H
#define TZF_SOURCE_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else

typedef void* HANDLE;
typedef void* HLOCAL;
typedef void* LPVOID;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t BOOL;
typedef uint32_t UINT;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INVALID_SET_FILE_POINTER (static_cast<DWORD>(0xFFFFFFFFu))

enum : DWORD {
  GENERIC_READ = 0x80000000u,
  FILE_SHARE_READ = 0x1u,
  OPEN_EXISTING = 3u,
  FILE_BEGIN = 0u,
  FILE_CURRENT = 1u,
  FILE_END = 2u,
  NO_ERROR = 0u,
};
enum : UINT { LMEM_FIXED = 0x0u, LMEM_MOVEABLE = 0x2u, LMEM_ZEROINIT = 0x40u };

extern "C" {
HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD attributes, HANDLE template_file);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method);
BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* count_read, void* overlapped);
BOOL CloseHandle(HANDLE file);
DWORD GetLastError(void);
void SetLastError(DWORD error);

// Movable local memory: exported from the Linux library so that a host can
// lock and free the blocks it receives.
__attribute__((visibility("default"))) HLOCAL LocalAlloc(UINT flags, size_t bytes);
__attribute__((visibility("default"))) LPVOID LocalLock(HLOCAL block);
__attribute__((visibility("default"))) BOOL LocalUnlock(HLOCAL block);
__attribute__((visibility("default"))) HLOCAL LocalFree(HLOCAL block);
}

#endif

// Working buffers (flag and command streams) from the general heap.
void* AllocateWorkBuffer(size_t bytes);
void FreeWorkBuffer(void* buffer);

#endif
