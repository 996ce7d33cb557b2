// Shared set-up of the fuzz targets: the process-wide buffers, and a private
// directory that is the only place the code under test may change.
#pragma once
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app.h"

inline const std::string& FuzzRoot()
{
    static const std::string root = [] {
        char pattern[] = "/tmp/kvxfuzz.XXXXXX";
        const std::string dir = mkdtemp(pattern);
        if (AllocateBuffers() != 1)
            std::abort();
        return dir;
    }();
    return root;
}

// Writes `data` at the payload offset of a file that is otherwise a hole.
inline void WritePayloadFile(const std::string& path, const uint8_t* data, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, 53248) != 0 || pwrite(fd, data, size, 53248) != (ssize_t)size)
        std::abort();
    close(fd);
}
