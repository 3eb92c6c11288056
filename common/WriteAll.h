// Writing a whole buffer to a descriptor.
#ifndef GDI_COMMON_WRITEALL_H
#define GDI_COMMON_WRITEALL_H

#include <errno.h>
#include <stddef.h>
#include <unistd.h>

// Writes all `size` bytes, going on after a signal; false on any other error. Meant for
// blocking descriptors (the log, the status lines): EAGAIN is an error here.
inline bool WriteAll(int fd, const void *data, size_t size) {
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= (size_t)written;
    }
    return true;
}

#endif
