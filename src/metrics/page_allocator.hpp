// An allocator for the large arrays of both indexes (vectors, codes, links)
// and for converted batches: blocks of kPagedBytes and more are mapped from
// the system and unmapped when freed, so an array that grows by copying, or
// a batch freed after a create, gives its memory back at once. Through
// malloc such blocks can end up inside the heap, where a freed one stays
// resident while anything above it lives.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#endif

namespace quarix {

inline constexpr std::size_t kPagedBytes = std::size_t{1} << 18;

void* allocate_pages(std::size_t bytes);
void free_pages(void* block, std::size_t bytes);

template <class T>
struct PageAllocator {
    using value_type = T;
    PageAllocator() = default;
    template <class U>
    PageAllocator(const PageAllocator<U>&) {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_pages(count * sizeof(T)));
    }
    void deallocate(T* block, std::size_t count) { free_pages(block, count * sizeof(T)); }

    template <class U>
    bool operator==(const PageAllocator<U>&) const {
        return true;
    }
};

template <class T>
using PagedVector = std::vector<T, PageAllocator<T>>;

inline void* allocate_pages(std::size_t bytes) {
#if defined(__unix__) || defined(__APPLE__)
    if (bytes >= kPagedBytes) {
        void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
        return block;
    }
#endif
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (!block) throw std::bad_alloc();
    return block;
}

inline void free_pages(void* block, std::size_t bytes) {
#if defined(__unix__) || defined(__APPLE__)
    if (bytes >= kPagedBytes) {
        munmap(block, bytes);
        return;
    }
#endif
    std::free(block);
}

}  // namespace quarix
