// Bytes the process has allocated on its heap now, from the sanitizer's own
// allocator where one runs (glibc's statistics do not see it), else glibc's.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLON_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUILLON_SANITIZER_HEAP 1
#endif
#endif

#ifdef QUILLON_SANITIZER_HEAP
extern "C" size_t __sanitizer_get_current_allocated_bytes();
inline size_t heapInUse()
{
    return __sanitizer_get_current_allocated_bytes();
}
#elif defined(_WIN32)
// No heap statistics here: the rows that need them skip on Windows.
inline size_t heapInUse()
{
    return 0;
}
#else
#include <malloc.h>
inline size_t heapInUse()
{
    return mallinfo2().uordblks;
}
#endif
