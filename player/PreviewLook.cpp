#include "PreviewLook.h"

#include "DecodeSteps.h"

PreviewLook PreviewLook::forFacts(const MediaFacts& facts)
{
    PreviewLook look;
    if (!facts.hasPicture())
        return look;
    // The conversion's own decisions, for a clip (a still has nothing to
    // deinterlace).
    const PictureSteps steps =
        pictureSteps(facts, facts.kind == MediaKind::Clip ? DecodeKind::Clip : DecodeKind::Still);
    if (steps.deinterlace)
        look.deinterlace = "@deinterlace:bwdif=mode=send_field:deint=all";
    // The conversion takes grey levels without a range tag as full range
    // (a grey JPEG); mpv would stretch them as if they were limited.
    if (facts.pixelFormat.startsWith(QLatin1String("gray")) &&
        facts.colorRange != QLatin1String("tv"))
        look.levels = "@levels:format=colorlevels=full";
    // The tone-mapped picture in BT.709's transfer, as the conversion writes
    // it.
    if (steps.toneMap != HdrTransfer::None)
        look.targetTrc = "bt.1886";
    return look;
}

QList<QPair<QByteArray, QByteArray>> PreviewLook::globalOptions()
{
    return {
        // Black is "LED off": a transparent picture lies over black, as the
        // conversion lays it, not over a checkerboard.
        {"alpha", "blend"},
        {"background", "#000000"},
        // HDR with the conversion's curve: its highlights above 0.7 of the
        // reference white compressed (Mobius) on the largest of the three
        // channels, colours outside BT.709 clipped, no peak measured from
        // the frames (the conversion cannot), what lies below left as it
        // is. These apply to HDR pictures alone.
        {"tone-mapping", "mobius"},
        {"tone-mapping-param", "0.7"},
        {"tone-mapping-mode", "max"},
        {"gamut-mapping-mode", "clip"},
        {"hdr-compute-peak", "no"},
    };
}

QByteArray PreviewLook::mirrorFilter(int rotation)
{
    const int quarter = ((rotation % 360) + 360) % 180;
    return quarter == 90 ? QByteArray("@mirror:vflip") : QByteArray("@mirror:hflip");
}
