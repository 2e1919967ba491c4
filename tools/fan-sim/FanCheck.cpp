// Fan file check for the simulator.
#include "FanCheck.h"

#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <vector>


namespace {

const long long kHeaderSize = 812;
const long long kAudioBlock = 1600;
const long long kGranule = 28800;

// The fixed header every fan file starts with: "POVFILE1", then little-endian
// u32 header size, audio block, padding granule, sample rate, frame rate and
// bits per LED; the rest is zero.
std::vector<unsigned char> fanHeader()
{
    std::vector<unsigned char> h(kHeaderSize, 0);
    std::memcpy(h.data(), "POVFILE1", 8);
    const unsigned values[] = {812, 1600, 28800, 32000, 20, 3};
    for (int i = 0; i < 6; i++) {
        for (int b = 0; b < 4; b++)
            h[8 + 4 * i + b] = (unsigned char)((values[i] >> (8 * b)) & 0xff);
    }
    return h;
}

struct File {
    std::FILE* f = nullptr;
    ~File()
    {
        if (f)
            std::fclose(f);
    }
};

FanCheckResult refuse(const std::string& reason, long long size = 0)
{
    FanCheckResult r;
    r.reason = reason;
    r.size = size;
    return r;
}

}  // namespace

FanCheckResult checkFanFile(const std::string& path, const FanGeometry& g)
{
    if (g.lights <= 0 || g.lines <= 0 || g.colorDeep < 1 || g.colorDeep > 8)
        return refuse("unknown fan geometry");
    File file;
    file.f = std::fopen(path.c_str(), "rb");
    if (!file.f)
        return refuse("cannot read the stored upload");
    if (fseeko(file.f, 0, SEEK_END) != 0)
        return refuse("cannot read the stored upload");
    const long long size = (long long)ftello(file.f);
    std::rewind(file.f);
    if (size < kHeaderSize)
        return refuse("shorter than the fan file header", size);
    if (size % kGranule != 0)
        return refuse("size is not a multiple of 28800", size);

    std::vector<unsigned char> header(kHeaderSize);
    if (std::fread(header.data(), 1, header.size(), file.f) != header.size())
        return refuse("cannot read the stored upload", size);
    if (header != fanHeader())
        return refuse("not a fan file header", size);

    const long long planeBytes = (3LL * g.lights + 7) / 8;
    const long long record = (long long)g.lines * g.colorDeep * planeBytes + kAudioBlock;
    const long long frames = (size - kHeaderSize) / record;
    if (frames < 1)
        return refuse("no whole frame record", size);

    // What follows the last whole record must be zero padding.
    const long long tail = size - kHeaderSize - frames * record;
    if (fseeko(file.f, (off_t)(size - tail), SEEK_SET) != 0)
        return refuse("cannot read the stored upload", size);
    std::vector<unsigned char> buf(64 * 1024);
    long long left = tail;
    while (left > 0) {
        const size_t want = (size_t)(left < (long long)buf.size() ? left : (long long)buf.size());
        if (std::fread(buf.data(), 1, want, file.f) != want)
            return refuse("cannot read the stored upload", size);
        for (size_t i = 0; i < want; i++) {
            if (buf[i] != 0)
                return refuse("partial frame record at the end", size);
        }
        left -= (long long)want;
    }

    FanCheckResult r;
    r.ok = true;
    r.frames = frames;
    r.size = size;
    return r;
}
