#pragma once

// Tells ThreadSanitizer about an order that a library it cannot see into
// provides: Qt's event queue hands a posted event to the receiving thread
// under locks of its own, which an uninstrumented Qt keeps from the checker.
// Call HappensBefore(tag) on the posting thread after making what the event
// carries, and HappensAfter(tag) on the receiving thread before reading it.
// Outside ThreadSanitizer builds both do nothing.

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);

inline void HappensBefore(void* tag)
{
    __tsan_release(tag);
}

inline void HappensAfter(void* tag)
{
    __tsan_acquire(tag);
}
#else
inline void HappensBefore(void*) { }

inline void HappensAfter(void*) { }
#endif
