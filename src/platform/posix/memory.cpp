// Image memory on POSIX. A big file image is an anonymous mapping with huge
// pages requested: the first touch of each page is what makes loading a
// large file slow, and huge pages cut the number of faults by 512.
#include <sys/mman.h>

#include <cstdlib>

#include "platform/platform.h"

namespace qk::platform {

namespace {

constexpr size_t kMapThreshold = 1 << 20;

}  // namespace

char* allocate_image(size_t size) {
  if (size < kMapThreshold) return static_cast<char*>(std::malloc(size ? size : 1));
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(block, size, MADV_HUGEPAGE);
#endif
  return static_cast<char*>(block);
}

void free_image(char* block, size_t size) {
  if (!block) return;
  if (size < kMapThreshold) {
    std::free(block);
  } else {
    munmap(block, size);
  }
}

const char* environment(const char* name) {
  return std::getenv(name);
}

}  // namespace qk::platform
