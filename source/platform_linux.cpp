// Linux stand-ins for the Windows file and local-memory services.
//
// A file handle is a file descriptor carried in a pointer; a movable block is
// a heap allocation preceded by a small header holding its size and lock
// count. Failures leave errno set, which GetLastError reports.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "source/platform.h"
#include "source/platform_probe.h"

namespace {

thread_local PlatformProbe t_probe{};

// Counts a call and tells whether the probe wants it to fail.
bool probe_fails(uint32_t& calls, uint32_t fail_at) {
  ++calls;
  return fail_at != 0 && calls == fail_at;
}

void probe_acquired(uint64_t bytes) {
  t_probe.live_bytes += bytes;
  ++t_probe.live_blocks;
  if (t_probe.live_bytes > t_probe.peak_bytes) t_probe.peak_bytes = t_probe.live_bytes;
}

void probe_released(uint64_t bytes) {
  t_probe.live_bytes -= bytes;
  --t_probe.live_blocks;
}

int handle_to_fd(HANDLE file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)); }

HANDLE fd_to_handle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

constexpr uint32_t kBlockMagic = 0x4B4C4254u;  // marks a live movable block

// Header in front of every movable block and working buffer; 16 bytes keep
// the data behind it aligned for any pixel access.
struct alignas(16) BlockHeader {
  uint32_t magic;
  uint32_t lock_count;
  uint64_t size;
};
static_assert(sizeof(BlockHeader) == 16);

BlockHeader* header_of(HLOCAL block) {
  BlockHeader* header = static_cast<BlockHeader*>(block);
  if (header == nullptr || header->magic != kBlockMagic) return nullptr;
  return header;
}

}  // namespace

PlatformProbe& platform_probe() { return t_probe; }

void platform_probe_reset() { t_probe = PlatformProbe{}; }

extern "C" {

HANDLE CreateFileA(const char* name, DWORD access, DWORD, void*, DWORD disposition, DWORD, HANDLE) {
  if (name == nullptr || access != GENERIC_READ || disposition != OPEN_EXISTING) {
    errno = EINVAL;
    return INVALID_HANDLE_VALUE;
  }
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  ++t_probe.open_files;
  return fd_to_handle(fd);
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method) {
  if (probe_fails(t_probe.seeks, t_probe.fail_seek_at)) {
    errno = EIO;
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high part the distance is a signed 32-bit number; with one the
  // two form a signed 64-bit distance.
  int64_t move = distance;
  if (distance_high != nullptr) {
    move =
        static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distance_high)) << 32) |
                             static_cast<uint32_t>(distance));
  }
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  off_t position = lseek(handle_to_fd(file), static_cast<off_t>(move), whence);
  if (position < 0) return INVALID_SET_FILE_POINTER;
  errno = 0;  // a result equal to INVALID_SET_FILE_POINTER is then no failure
  if (distance_high != nullptr) {
    *distance_high = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  }
  return static_cast<DWORD>(static_cast<uint64_t>(position) & 0xFFFFFFFFu);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* count_read, void*) {
  if (count_read != nullptr) *count_read = 0;
  if (probe_fails(t_probe.reads, t_probe.fail_read_at)) {
    errno = EIO;
    return 0;
  }
  // Like the Windows call, keep reading until the count is met or the file ends.
  DWORD done = 0;
  while (done < count) {
    ssize_t got = read(handle_to_fd(file), static_cast<char*>(buffer) + done, count - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (got == 0) break;
    done += static_cast<DWORD>(got);
  }
  if (count_read != nullptr) *count_read = done;
  return 1;
}

BOOL CloseHandle(HANDLE file) {
  if (close(handle_to_fd(file)) != 0) return 0;
  --t_probe.open_files;
  return 1;
}

DWORD GetLastError(void) { return static_cast<DWORD>(errno); }

void SetLastError(DWORD error) { errno = static_cast<int>(error); }

HLOCAL LocalAlloc(UINT flags, size_t bytes) {
  if (probe_fails(t_probe.local_allocs, t_probe.fail_local_alloc_at) ||
      bytes > SIZE_MAX - sizeof(BlockHeader)) {
    errno = ENOMEM;
    return nullptr;
  }
  void* memory = (flags & LMEM_ZEROINIT) != 0 ? calloc(1, sizeof(BlockHeader) + bytes)
                                              : malloc(sizeof(BlockHeader) + bytes);
  if (memory == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  BlockHeader* header = static_cast<BlockHeader*>(memory);
  header->magic = kBlockMagic;
  header->lock_count = 0;
  header->size = bytes;
  probe_acquired(bytes);
  return header;
}

LPVOID LocalLock(HLOCAL block) {
  BlockHeader* header = header_of(block);
  if (probe_fails(t_probe.local_locks, t_probe.fail_local_lock_at) || header == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  ++header->lock_count;
  return header + 1;
}

BOOL LocalUnlock(HLOCAL block) {
  BlockHeader* header = header_of(block);
  if (header == nullptr || header->lock_count == 0) {
    errno = header == nullptr ? EINVAL : 0;
    return 0;
  }
  --header->lock_count;
  errno = 0;
  return header->lock_count != 0 ? 1 : 0;
}

HLOCAL LocalFree(HLOCAL block) {
  if (block == nullptr) return nullptr;
  BlockHeader* header = header_of(block);
  if (header == nullptr) {
    errno = EINVAL;
    return block;
  }
  probe_released(header->size);
  header->magic = 0;
  free(header);
  return nullptr;
}

}  // extern "C"

void* AllocateWorkBuffer(size_t bytes) {
  if (probe_fails(t_probe.work_allocs, t_probe.fail_work_alloc_at) ||
      bytes > SIZE_MAX - sizeof(BlockHeader)) {
    return nullptr;
  }
  BlockHeader* header = static_cast<BlockHeader*>(malloc(sizeof(BlockHeader) + bytes));
  if (header == nullptr) return nullptr;
  header->magic = kBlockMagic;
  header->lock_count = 0;
  header->size = bytes;
  probe_acquired(bytes);
  return header + 1;
}

void FreeWorkBuffer(void* buffer) {
  if (buffer == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(buffer) - 1;
  probe_released(header->size);
  header->magic = 0;
  free(header);
}
