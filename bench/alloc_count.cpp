// Counts every allocation, then hands it to glibc's own allocator under its internal names, so
// the allocator's behaviour (and the memory it reuses) is exactly what it would be without us.
#include "alloc_count.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <malloc.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *old, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
}

static uint64_t allocations;

static void counted()
{
    __atomic_fetch_add(&allocations, 1, __ATOMIC_RELAXED);  // some libraries allocate from threads
}

uint64_t alloc_count()
{
    return __atomic_load_n(&allocations, __ATOMIC_RELAXED);
}

extern "C" void *malloc(size_t size) noexcept
{
    counted();
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) noexcept
{
    counted();
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *old, size_t size) noexcept
{
    if (size > 0)
        counted();  // a resize may move the block: it counts as a new one
    return __libc_realloc(old, size);
}

extern "C" void *memalign(size_t alignment, size_t size) noexcept
{
    counted();
    return __libc_memalign(alignment, size);
}

extern "C" void *aligned_alloc(size_t alignment, size_t size) noexcept
{
    counted();
    return __libc_memalign(alignment, size);
}

extern "C" int posix_memalign(void **out, size_t alignment, size_t size) noexcept
{
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    counted();
    void *block = __libc_memalign(alignment, size);
    if (!block)
        return ENOMEM;
    *out = block;
    return 0;
}
