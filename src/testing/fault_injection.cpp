// Test builds only (CORVANE_FAULT_INJECTION): the module's own operator new, which fails on
// a chosen allocation. Driven from the tests through two exported C functions, so that the
// module's Python surface stays as it is.
#include <cstdlib>
#include <new>

namespace {

long g_countdown = 0;  // the allocation that fails, counted from the last arming; 0: none
long g_count = 0;      // every allocation so far

void* allocate(std::size_t size) {
    ++g_count;
    if (g_countdown > 0 && --g_countdown == 0) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void* allocate_or_null(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

// Makes the n-th allocation from now fail (0: none).
extern "C" __attribute__((visibility("default"))) void corvane_fail_allocation(long n) { g_countdown = n; }

// How many allocations the module has made.
extern "C" __attribute__((visibility("default"))) long corvane_allocations() { return g_count; }

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
