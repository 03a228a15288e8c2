#pragma once

#include <new>
#include <utility>

// A process-wide object that is built on first use and never destroyed: a
// caller may still reach the library from its own global destructors, after
// every function-local static of the library is gone. The storage lives in
// the library's image, so an unload takes it along without leaking heap.
template <typename T> class Immortal
{
public:
    template <typename... Args> explicit Immortal(Args&&... args)
    {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T& Get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};
