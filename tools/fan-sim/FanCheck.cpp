// Fan file check for the simulator, on the engine's fan file reader.
#include "FanCheck.h"

#include "fan_file.h"

FanCheckResult checkFanFile(const std::string& path, const FanGeometry& g)
{
    FanCheckResult r;
    if (g.lights <= 0 || g.lines <= 0 || g.colorDeep < 1 || g.colorDeep > 8) {
        r.reason = "unknown fan geometry";
        return r;
    }
    fan_file f;
    const int status = fan_file_open(&f, path.c_str(), uint32_t(g.lines), uint32_t(g.lights),
                                     uint32_t(g.colorDeep));
    if (status != FAN_FILE_OK) {
        r.reason = fan_file_status_text(status);
        return r;
    }
    r.size = (long long)f.size;
    r.frames = (long long)f.frame_count;
    fan_file_close(&f);
    if (r.frames < 1) {
        r.reason = "no whole frame record";
        return r;
    }
    r.ok = true;
    return r;
}
