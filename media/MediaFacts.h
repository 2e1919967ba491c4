// What a media file holds, as one look at it (MediaProbe) found: the kind of
// input as a user sees it, the picture's size as shown, its length, sound,
// cover, colour tags, interlacing, transparency and animation. A plain value;
// what to do with the facts is the caller's.
#pragma once

#include <QString>

// The kind of input as a user sees it.
enum class MediaKind {
    Unreadable,    // nothing FFmpeg can show or play; MediaFacts::reason says why
    Still,         // one picture (a photo, a one-frame GIF)
    Clip,          // moving pictures (a video, an animated GIF)
    SongWithCover, // sound with an attached picture (an MP3 or M4A with its cover)
    SoundOnly      // sound and no picture
};

// Transfer characteristic of the picture, as far as it asks for tone mapping.
enum class HdrTransfer {
    None, // SDR, or untagged
    Hlg,  // arib-std-b67
    Pq    // smpte2084
};

struct MediaFacts {
    MediaKind kind = MediaKind::Unreadable;
    // Unreadable and SoundOnly: why there is no picture, one line for the user.
    QString reason;
    // A HEIF photo (HEIC from phones) by its file box, which the installed
    // FFmpeg cannot read: the window names it in its own words.
    bool heifPhoto = false;

    // The picture: the video, the still, or a song's cover. Width and height
    // are as shown, that is as FFmpeg decodes it, turned upright: a phone
    // photo stored 1280x720 with EXIF orientation 6 is 720x1280 here.
    int width = 0;
    int height = 0;
    int storedWidth = 0; // as stored in the file
    int storedHeight = 0;
    // How the stored picture is turned to be shown: first mirrored left-right
    // when `mirrored`, then turned clockwise by `rotation` degrees (0..359).
    int rotation = 0;
    bool mirrored = false;
    // The EXIF orientation (1..8) the picture carries; 0 when it has none.
    int exifOrientation = 0;
    QString codec;       // of the picture stream ("h264", "mjpeg", "gif", ...)
    QString pixelFormat; // as decoded ("yuv420p", "rgba", "pal8", ...)
    // The picture is stored as luma and colour differences (YUV: video, JPEG,
    // WebP), not as RGB, a palette or grey levels.
    bool yuv = false;
    // Frames of the picture stream when the file says (0: not said). An
    // animated GIF has more than one, a one-frame GIF exactly one.
    int frameCount = 0;
    bool animated = false;   // more than one frame in a picture format (GIF)
    bool hasAlpha = false;   // the picture can be transparent (rgba, yuva420p, GIF or
                             // palette PNG with a transparent colour, ...)
    bool interlaced = false; // flagged interlaced (field order tt, bb, tb or bt)
    QString fieldOrder;      // as tagged ("progressive", "tt", ...); empty: untagged
    // Colour tags as FFmpeg names them; empty: untagged ("unknown" counts as
    // untagged).
    QString colorTransfer;  // "bt709", "arib-std-b67", "smpte2084", ...
    QString colorPrimaries; // "bt709", "bt2020", ...
    QString colorMatrix;    // "bt709", "bt470bg", "bt2020nc", ...
    QString colorRange;     // "tv" (limited) or "pc" (full)
    HdrTransfer hdr = HdrTransfer::None;

    double duration = 0.0; // seconds; 0 when the file gives none
    // The picture stream's own length in seconds (0 when not said): a clip
    // whose sound lasts longer than its picture ends its frames earlier.
    double pictureDuration = 0.0;
    bool hasSound = false;
    bool hasCover = false; // an attached picture beside the sound
    QString formatName;    // the container as FFmpeg names it ("mov,mp4,...", "image2")

    bool readable() const { return kind != MediaKind::Unreadable; }
    // Whether the file has a picture to frame (a still, a clip or a cover).
    bool hasPicture() const
    {
        return kind == MediaKind::Still || kind == MediaKind::Clip ||
            kind == MediaKind::SongWithCover;
    }
    bool colorTagged() const
    {
        return !colorTransfer.isEmpty() || !colorPrimaries.isEmpty() || !colorMatrix.isEmpty();
    }
};
