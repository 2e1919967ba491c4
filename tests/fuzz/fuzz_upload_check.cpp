// The fan simulator's check of an uploaded file, on any bytes, compared with
// the engine's fan file reader. Same preamble as the fan_file target:
//
//   byte 0      flags: 1 header in front, 2 pad with zeros to a multiple of
//               28800, 8 take the geometry as raw 32-bit values (negative
//               ones included)
//   bytes 1..   lights, lines, colorDeep (8-bit each, or 32-bit with flag 8)
#include <vector>

#include "FanCheck.h"
#include "fan_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::scratchDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in {data, size};
    const uint32_t flags = in.u8();
    FanGeometry g;
    if (flags & 8) {
        g.lights = int(in.u32());
        g.lines = int(in.u32());
        g.colorDeep = int(in.u32());
    } else {
        g.lights = int(in.u8());
        g.lines = int(in.u8());
        g.colorDeep = int(in.u8() % 10);
    }

    std::vector<uint8_t> file =
        fuzz::joined(file_header, (flags & 1) ? FAN_HEADER_SIZE : 0, in.data, in.size);
    if ((flags & 2) && file.size() % FAN_PAD_GRANULE != 0)
        file.resize((file.size() / FAN_PAD_GRANULE + 1) * FAN_PAD_GRANULE, 0);

    const std::string path = fuzz::scratchDir() + "/upload.bin";
    fuzz::writeFile(path, file.data(), file.size());
    const FanCheckResult r = checkFanFile(path, g);
    if (!r.ok) {
        FUZZ_CHECK(!r.reason.empty(), "refused without a reason");
        return 0;
    }
    FUZZ_CHECK(r.reason.empty(), "accepted with a reason");
    FUZZ_CHECK(r.size == (long long)file.size(), "size %lld of %zu", r.size, file.size());
    FUZZ_CHECK(r.frames >= 1, "accepted without a frame");

    // What the simulator accepts, the engine's reader reads with the same
    // number of whole records.
    fan_file f;
    const int rc = fan_file_open_memory(&f, file.data(), file.size(), uint32_t(g.lines),
                                        uint32_t(g.lights), uint32_t(g.colorDeep));
    FUZZ_CHECK(rc == FAN_FILE_OK, "the reader refuses an accepted file: %s",
               fan_file_status_text(rc));
    FUZZ_CHECK((long long)f.frame_count == r.frames, "frames %lld, reader %llu", r.frames,
               (unsigned long long)f.frame_count);
    fan_file_close(&f);
    return 0;
}
