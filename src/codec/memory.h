// Blocks of megabytes for pictures and files.
#ifndef PIXTRIM_MEMORY_H
#define PIXTRIM_MEMORY_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Asks for huge pages for the whole 2 MiB pages inside a block: a picture
// written once in order then costs a few page faults instead of one per
// 4 KiB. Returns the block.
inline void *in_huge_pages(void *block, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHugePage - 1);
    if (block && end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#endif
    return block;
}

// malloc and calloc blocks, released with free(), in huge pages where they
// hold whole ones.
inline void *allocate_large(size_t bytes) { return in_huge_pages(malloc(bytes), bytes); }
inline void *allocate_large_zeroed(size_t bytes) {
    return in_huge_pages(calloc(1, bytes), bytes);
}

#endif
