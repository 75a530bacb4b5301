// Image memory and the environment on Windows. A big file image is taken
// straight from VirtualAlloc: committed pages arrive zeroed on first touch
// and go back to the system whole when freed, instead of fragmenting the
// C heap of a 32-bit process whose address space is tight. A streamed image
// reserves a window of address space and commits and decommits chunks as
// it moves; a chunk that stays as the window moves on is copied.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

namespace qk::platform {

namespace {

constexpr size_t kVirtualThreshold = 1 << 20;

}  // namespace

char* allocate_image(size_t size) {
  if (size < kVirtualThreshold) return static_cast<char*>(std::malloc(size ? size : 1));
  return static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void free_image(char* block, size_t size) {
  if (!block) return;
  if (size < kVirtualThreshold) {
    std::free(block);
  } else {
    VirtualFree(block, 0, MEM_RELEASE);
  }
}

char* allocate_block(size_t size) {
  return static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void free_block(char* block, size_t size) {
  (void)size;
  if (block) VirtualFree(block, 0, MEM_RELEASE);
}

char* reserve_space(size_t size) {
  return static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
}

void free_space(char* space, size_t size) {
  (void)size;
  if (space) VirtualFree(space, 0, MEM_RELEASE);
}

bool commit_space(char* at, size_t size, bool /*filling*/) {
  return VirtualAlloc(at, size, MEM_COMMIT, PAGE_READWRITE) == at;
}

void decommit_space(char* at, size_t size) {
  VirtualFree(at, size, MEM_DECOMMIT);
}

// Windows cannot move committed pages to another address; the caller
// commits fresh ones instead.
bool move_space(char*, char*, size_t) {
  return false;
}

const char* environment(const char* name) {
  return std::getenv(name);
}

}  // namespace qk::platform
