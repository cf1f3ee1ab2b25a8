// Memory for a run's larger buffers, in mappings of whole 2 MiB pages.
//
// The first touch of a page costs a fault, and a run touches megabytes of
// buffers once each: on a virtual machine a fault per 4 KiB page was a third
// of a short run's time. A mapping aligned to 2 MiB and advised as huge is
// backed by pages of that size where the system allows, a fault each
// instead of 512; elsewhere it behaves as any anonymous memory.
#include <sys/mman.h>

#include <cstdint>

#include "base/report.h"
#include "filter/engine.h"
#ifdef TAPSUM_RED_ZONES
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr size_t HUGE_PAGE = size_t{1} << 21;

}  // namespace

page_map map_pages(size_t bytes) {
  const size_t whole = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  // One page more than asked for, to start on a page boundary.
  void *mapping =
      mmap(nullptr, whole + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) out_of_memory();
  // Only the aligned pages are kept: the address space a run may take is
  // limited, as well as its memory.
  unsigned char *first = static_cast<unsigned char *>(mapping);
  unsigned char *start = reinterpret_cast<unsigned char *>(
      (reinterpret_cast<uintptr_t>(first) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1));
  if (start != first) munmap(first, static_cast<size_t>(start - first));
  munmap(start + whole, static_cast<size_t>(first + HUGE_PAGE - start));
#ifdef MADV_HUGEPAGE
  madvise(start, whole, MADV_HUGEPAGE);
#endif
  return {start, whole, start};
}

// The mapping's red zones are cleared before it is given back: the
// system may map the same addresses again, for memory of another kind.
void unmap_pages(page_map &pages) {
  if (pages.mapping != nullptr) {
#ifdef TAPSUM_RED_ZONES
    ASAN_UNPOISON_MEMORY_REGION(pages.mapping, pages.bytes);
#endif
    munmap(pages.mapping, pages.bytes);
  }
  pages = {};
}

#ifdef TAPSUM_RED_ZONES
void poison(const void *from, size_t bytes) {
  ASAN_POISON_MEMORY_REGION(from, bytes);
}
#endif
