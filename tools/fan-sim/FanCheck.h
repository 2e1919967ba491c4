// Checks that a file is a well-formed fan file for a given fan geometry.
#pragma once

#include <string>

struct FanGeometry {
    int lights = 0;
    int lines = 0;
    int colorDeep = 0;
};

struct FanCheckResult {
    bool ok = false;
    long long frames = 0; // whole frame records
    long long size = 0;   // file size in bytes
    std::string reason;   // why the file was refused (empty when ok)
};

// The file must start with the fixed 812-byte header, have a size that is a
// multiple of 28800, and hold at least one whole frame record of
// lines x colorDeep x ceil(3 x lights / 8) + 1600 bytes, followed only by
// zero padding.
FanCheckResult checkFanFile(const std::string& path, const FanGeometry& geometry);
