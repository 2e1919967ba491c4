// Small helpers shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz {

// The engine logs every job line (and whole job texts) to standard output;
// at thousands of runs a second that is only noise. SPINDRA_FUZZ_VERBOSE=1
// keeps it.
inline void quietStdout()
{
    const char* verbose = std::getenv("SPINDRA_FUZZ_VERBOSE");
    if (verbose && *verbose && std::strcmp(verbose, "0") != 0)
        return;
    std::fflush(stdout);
    const int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
}

// A fresh private folder under the temporary directory, removed with its
// content when the process exits normally.
inline const std::string& scratchDir()
{
    static char path[4096];
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::snprintf(path, sizeof path, "%s/spindra-fuzz-XXXXXX", base && *base ? base : "/tmp");
        if (!mkdtemp(path)) {
            std::perror("mkdtemp");
            std::abort();
        }
        // Runs after the string is gone, so it uses the plain buffer.
        std::atexit([] {
            char cmd[4200];
            std::snprintf(cmd, sizeof cmd, "rm -rf '%s'", path);
            if (std::system(cmd) != 0) { }
        });
        return std::string(path);
    }();
    return dir;
}

inline void writeFile(const std::string& path, const void* data, size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::abort();
    }
    if (size && std::fwrite(data, 1, size, f) != size) {
        std::perror(path.c_str());
        std::abort();
    }
    std::fclose(f);
}

// prefix (when given) followed by the rest of an input, as one buffer. Sized
// first and filled with memcpy: growing a vector with insert() from the
// fuzzer's buffer makes gcc warn about a write into a region of size 0.
inline std::vector<uint8_t> joined(const uint8_t* prefix, size_t prefixSize, const uint8_t* data,
                                   size_t size)
{
    std::vector<uint8_t> out(prefixSize + size);
    if (prefixSize)
        std::memcpy(out.data(), prefix, prefixSize);
    if (size)
        std::memcpy(out.data() + prefixSize, data, size);
    return out;
}

// Reads values from the front of an input, yielding zeros once it is used up.
struct Reader {
    const uint8_t* data;
    size_t size;

    uint32_t u8()
    {
        if (!size)
            return 0;
        --size;
        return *data++;
    }
    uint32_t u16() { return u8() | (u8() << 8); }
    uint32_t u32() { return u16() | (u16() << 16); }
};

} // namespace fuzz

// Stops with a message that the fuzzer records as a finding.
#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "fuzz check failed: %s: ", #cond);                                \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fprintf(stderr, "\n");                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
