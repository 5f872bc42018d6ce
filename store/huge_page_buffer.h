#pragma once
// An allocator for the large arrays a search reads from end to end. With 4 kB
// pages a pass over the 4.8 MB of coarse rows of 30000 samples meets a page
// it has no address translation for every 4 kB; right after a forward has
// filled the caches with the network's data, each of those walks goes to
// memory. Arrays of 2 MB and more are placed on 2 MB boundaries and offered
// to the kernel for huge pages (where it has them, on request only, as
// Debian's kernels are set), before they are first written.
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t kHugePage = 2u << 20;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes));
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* memory = std::aligned_alloc(kHugePage, rounded);
        if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        madvise(memory, rounded, MADV_HUGEPAGE);  // a hint: without it the pages are small
#endif
        return static_cast<T*>(memory);
    }

    void deallocate(T* p, std::size_t n) {
        if (n * sizeof(T) < kHugePage)
            ::operator delete(p);
        else
            std::free(p);
    }
};

template <class T, class U>
bool operator==(const HugePageAllocator<T>&, const HugePageAllocator<U>&) {
    return true;
}
template <class T, class U>
bool operator!=(const HugePageAllocator<T>&, const HugePageAllocator<U>&) {
    return false;
}
