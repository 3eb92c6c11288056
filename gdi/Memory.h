// How the driver core meets memory that runs out: as a result, never as an exception
// that crosses a function. Buffers are made with new (std::nothrow) or malloc and
// checked; a standard container is only grown inside Grown, which reports whether it
// could be. The hot path (halftoning and coding bands) makes no container grow at all.
#ifndef GDI_GDI_MEMORY_H
#define GDI_GDI_MEMORY_H

#include <new>
#include <stdexcept>

// Runs `grow` (which resizes, assigns to or inserts into containers) and returns false
// when it ran out of memory or past a container's largest size; a container the step
// was growing is then left as the standard library leaves it after a failed growth.
template <typename Grow>
bool Grown(Grow &&grow) noexcept {
    try {
        grow();
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::length_error &) {
        return false;
    }
}

#endif
