// Test helper: gives a JPEG the EXIF orientation a phone writes, as the only
// entry of an EXIF block after the file's start marker.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

namespace mediatest {

// False when the file is not a JPEG or cannot be rewritten.
inline bool addExifOrientation(const QString& path, int orientation)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray jpeg = f.readAll();
    if (!jpeg.startsWith("\xff\xd8"))
        return false;
    // "Exif\0\0", a little-endian TIFF header and one IFD with one entry:
    // tag 0x0112 (orientation), type SHORT, count 1, the value.
    QByteArray exif("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 24);
    exif += char(orientation);
    exif += QByteArray(7, '\0');
    const int length = exif.size() + 2;
    jpeg.insert(2, QByteArray("\xff\xe1") + char(length >> 8) + char(length & 0xff) + exif);
    return f.seek(0) && f.write(jpeg) == jpeg.size() && f.flush();
}

} // namespace mediatest
