// The fan file reader on any bytes. The input starts with a small preamble
// that picks the geometry and whether the fixed header is put in front and
// the size padded, so that most inputs get past the first checks and reach
// the record and padding logic; the rest is the file's content.
//
//   byte 0      flags: 1 header in front, 2 pad with zeros to a multiple of
//               28800, 4 read through a real file instead of memory,
//               8 take the geometry as raw 32-bit values
//   bytes 1..   lines, lights, colorDeep (8-bit each, or 32-bit with flag 8)
#include <algorithm>
#include <vector>

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
    uint32_t lines, lights, deep;
    if (flags & 8) {
        lines = in.u32();
        lights = in.u32();
        deep = in.u32();
    } else {
        lines = in.u8();
        lights = in.u8();
        deep = in.u8() % 10;
    }

    std::vector<uint8_t> file =
        fuzz::joined(file_header, (flags & 1) ? FAN_HEADER_SIZE : 0, in.data, in.size);
    if ((flags & 2) && file.size() % FAN_PAD_GRANULE != 0)
        file.resize((file.size() / FAN_PAD_GRANULE + 1) * FAN_PAD_GRANULE, 0);

    fan_file f;
    int rc;
    if (flags & 4) {
        const std::string path = fuzz::scratchDir() + "/input.fan";
        fuzz::writeFile(path, file.data(), file.size());
        rc = fan_file_open(&f, path.c_str(), lines, lights, deep);
    } else {
        rc = fan_file_open_memory(&f, file.empty() ? nullptr : file.data(), file.size(), lines,
                                  lights, deep);
    }
    if (rc != FAN_FILE_OK) {
        FUZZ_CHECK(f.file == nullptr && f.data == nullptr,
                   "a failed open left the source attached");
        FUZZ_CHECK(fan_file_status_text(rc) != nullptr, "no text for %d", rc);
        return 0;
    }

    const fan_file_layout& L = f.layout;
    FUZZ_CHECK(f.size == file.size(), "size %llu of %zu", (unsigned long long)f.size, file.size());
    FUZZ_CHECK(f.size % FAN_PAD_GRANULE == 0, "size not padded");
    FUZZ_CHECK(FAN_HEADER_SIZE + f.frame_count * L.record_bytes <= f.size,
               "records beyond the end");
    FUZZ_CHECK(f.size - (FAN_HEADER_SIZE + f.frame_count * L.record_bytes) < L.record_bytes,
               "a whole record left uncounted");
    FUZZ_CHECK(f.frame_count_min <= f.frame_count, "fewest frames above the count");
    // A writer that wrote the fewest frames would have padded to this size.
    FUZZ_CHECK(fan_file_padded_size(&L, f.frame_count_min) == f.size,
               "padded size of %llu frames is not the file size",
               (unsigned long long)f.frame_count_min);
    FUZZ_CHECK(fan_file_read_frame(&f, f.frame_count, nullptr, nullptr) == FAN_FILE_ERR_RANGE,
               "a frame past the end was readable");

    if (L.light_bytes <= (1u << 20)) {
        std::vector<uint8_t> light(L.light_bytes), audio(FAN_AUDIO_BLOCK);
        std::vector<uint8_t> bgr(size_t(L.lines) * L.lights * 3);
        const uint64_t frames = std::min<uint64_t>(f.frame_count, 4);
        for (uint64_t k = 0; k < frames; ++k) {
            FUZZ_CHECK(fan_file_read_frame(&f, k, light.data(), audio.data()) == FAN_FILE_OK,
                       "frame %llu", (unsigned long long)k);
            const uint8_t* record = fan_file_frame_data(&f, k);
            if (!(flags & 4)) {
                FUZZ_CHECK(record && std::equal(light.begin(), light.end(), record),
                           "frame data differs");
                FUZZ_CHECK(std::equal(audio.begin(), audio.end(), record + L.light_bytes),
                           "audio differs");
            }
            const int drc = fan_file_decode_frame(&L, light.data(), bgr.data());
            FUZZ_CHECK(drc == FAN_FILE_OK || drc == FAN_FILE_ERR_PAD_BITS, "decode gave %d", drc);
            // Only the kept bits may be set.
            const uint8_t kept = uint8_t(0xff00u >> L.color_deep);
            for (uint8_t v : bgr)
                FUZZ_CHECK((v & ~kept) == 0, "bits below colorDeep set");
        }
    }
    fan_file_close(&f);
    fan_file_close(&f);
    return 0;
}
