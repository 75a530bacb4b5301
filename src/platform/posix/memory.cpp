// Image memory on POSIX. A big file image held whole is an anonymous
// mapping with huge pages requested: the first touch of each page is what
// makes loading a large file slow, and huge pages cut the number of faults
// by 512. A streamed image reserves a window of address space and moves a
// few chunks of already touched memory along the file (mremap), which
// takes no page faults at all.
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

char* allocate_block(size_t size) {
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : static_cast<char*>(block);
}

void free_block(char* block, size_t size) {
  if (block) munmap(block, size);
}

char* reserve_space(size_t size) {
  void* space = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return space == MAP_FAILED ? nullptr : static_cast<char*>(space);
}

void free_space(char* space, size_t size) {
  if (space) munmap(space, size);
}

bool commit_space(char* at, size_t size, bool filling) {
#ifdef MAP_POPULATE
  const int populate = filling ? MAP_POPULATE : 0;
#else
  const int populate = 0;
  (void)filling;
#endif
  return mmap(at, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | populate,
              -1, 0) == at;
}

void decommit_space(char* at, size_t size) {
  // A fresh inaccessible mapping over the range frees its pages and keeps
  // any other mapping from landing inside the image.
  mmap(at, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
}

bool move_space(char* from, char* to, size_t size) {
#ifdef MREMAP_FIXED
  if (mremap(from, size, size, MREMAP_MAYMOVE | MREMAP_FIXED, to) != to) return false;
  decommit_space(from, size);  // the hole it left must stay reserved
  return true;
#else
  (void)from;
  (void)to;
  (void)size;
  return false;
#endif
}

const char* environment(const char* name) {
  return std::getenv(name);
}

}  // namespace qk::platform
