// The job builder's JSON text against the engine's parser: whatever the three
// paths hold (quotes, backslashes, "%" and placeholders such as "%5", control
// characters, letters beyond ASCII) and whatever the numbers are, the text
// buildJobText writes must parse with convert_parse_job into a flat job with
// exactly those paths (cut at the engine's 1023 bytes) and numbers.
//
// Input: 32 bytes of numbers (little-endian 32-bit values), then two length
// bytes for the first two paths, then the paths' UTF-8 bytes; the third path
// takes the rest. Invalid UTF-8 becomes U+FFFD; NUL characters are dropped,
// since no file name can hold one.
#include <QString>

#include <cmath>
#include <cstring>

#include "JobText.h"
#include "convert_internal.h"
#include "fuzz_support.h"

namespace {

QString pathFrom(fuzz::Reader& in, size_t length)
{
    length = std::min(length, in.size);
    QString path = QString::fromUtf8(reinterpret_cast<const char*>(in.data), int(length));
    in.data += length;
    in.size -= length;
    path.remove(QChar(0));
    return path;
}

// Two decimals as written; huge values keep the precision of a double.
bool sameNumber(double parsed, double value)
{
    return std::fabs(parsed - value) <= 0.0050001 + std::fabs(value) * 1e-15;
}

void checkPath(const char* field, const QString& path, const char* key)
{
    const QByteArray want = path.toUtf8().left(CONVERT_PATH_SIZE - 1);
    FUZZ_CHECK(std::strlen(field) == size_t(want.size()) &&
                   std::memcmp(field, want.constData(), size_t(want.size())) == 0,
               "%s: wrote \"%s\", engine read \"%s\"", key, want.constData(), field);
}

// A number in the range the user interface and the model table can produce,
// and beyond: plain values in hundredths, or a few raw doubles that are finite
// and below 1e15.
double numberFrom(uint32_t bits, uint32_t more)
{
    if ((more & 3) != 3)
        return double(int32_t(bits)) / 100.0;
    uint64_t raw = (uint64_t(more) << 32) | bits;
    double d;
    std::memcpy(&d, &raw, sizeof d);
    if (!std::isfinite(d) || std::fabs(d) >= 1e15)
        return double(int32_t(bits)) / 100.0;
    return d;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in {data, size};
    JobTextValues v;
    v.width = int32_t(in.u32());
    v.height = int32_t(in.u32());
    v.lights = int32_t(in.u32());
    v.centerX = int32_t(in.u32());
    v.centerY = int32_t(in.u32());
    v.lines = int32_t(in.u32());
    v.colorDeep = int32_t(in.u32());
    v.changeBrightnessLights = int32_t(in.u32());
    const uint32_t g1 = in.u32(), g2 = in.u8();
    const uint32_t b1 = in.u32(), b2 = in.u8();
    v.gamma = numberFrom(g1, g2);
    v.minBrightness = numberFrom(b1, b2);
    const size_t videoLength = in.u8() * 8;
    const size_t audioLength = in.u8() * 8;
    v.videoPath = pathFrom(in, videoLength);
    v.audioPath = pathFrom(in, audioLength);
    v.outPath = pathFrom(in, in.size);

    const QByteArray text = buildJobText(v).toUtf8();
    convert_parsed_job job;
    const int rc = convert_parse_job(text.constData(), nullptr, nullptr, &job);
    FUZZ_CHECK(rc == 0, "convert_parse_job returned %d for %s", rc, text.constData());
    FUZZ_CHECK(!job.is_360 && job.flat, "not a flat job: %s", text.constData());
    const convert_job* j = job.flat;
    checkPath(j->frames_resized_file, v.videoPath, "frames_resized_file");
    checkPath(j->in_aud_path, v.audioPath, "in_aud_path");
    checkPath(j->out_path, v.outPath, "out_path");
    FUZZ_CHECK(j->in_width == uint32_t(v.width) && j->in_height == uint32_t(v.height),
               "size %u x %u for %d x %d", j->in_width, j->in_height, v.width, v.height);
    FUZZ_CHECK(j->radius == uint32_t(v.lights) && j->lights == uint32_t(v.lights),
               "radius %u lights %u for %d", j->radius, j->lights, v.lights);
    FUZZ_CHECK(j->center_x == v.centerX && j->center_y == v.centerY, "centre %d,%d for %d,%d",
               j->center_x, j->center_y, v.centerX, v.centerY);
    FUZZ_CHECK(j->lines == uint32_t(v.lines) && j->colorDeep == uint32_t(v.colorDeep),
               "lines %u colorDeep %u", j->lines, j->colorDeep);
    FUZZ_CHECK(j->change_brightness_lights == v.changeBrightnessLights,
               "change_brightness_lights %d for %d", j->change_brightness_lights,
               v.changeBrightnessLights);
    FUZZ_CHECK(j->is_360 == 0, "is_360 %d", j->is_360);
    FUZZ_CHECK(sameNumber(j->gamma, v.gamma), "gamma %.17g for %.17g", j->gamma, v.gamma);
    FUZZ_CHECK(sameNumber(j->min_brightness, v.minBrightness), "min_brightness %.17g for %.17g",
               j->min_brightness, v.minBrightness);
    std::free(job.flat);
    return 0;
}
