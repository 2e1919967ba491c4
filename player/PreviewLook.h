// How the preview shows a file, so that it shows what the conversion hands
// to the engine: mpv's options for every file (transparency over black, the
// tone mapping of HDR with the conversion's curve) and, from what the probe
// found about the file, the filters and options of that file (deinterlacing
// as the conversion deinterlaces, grey levels read as full range as the
// conversion reads them, BT.709 output for HDR). A plain value; the player
// applies it.
#pragma once

#include "MediaFacts.h"

#include <QByteArray>
#include <QList>
#include <QPair>

struct PreviewLook {
    // mpv "vf" entries, each "@label:filter..." so that it can be removed by
    // its label; empty: none.
    QByteArray deinterlace;
    QByteArray levels;
    // mpv's "target-trc" for the file.
    QByteArray targetTrc = "auto";

    // The look of a file as the probe found it; a file the probe could not
    // read gets the defaults.
    static PreviewLook forFacts(const MediaFacts& facts);

    // mpv options set once, before it starts: names and values.
    static QList<QPair<QByteArray, QByteArray>> globalOptions();

    // The mpv filter that mirrors the picture left-right as it is shown when
    // mpv turns it `rotation` degrees clockwise after its filters: a picture
    // turned a quarter is mirrored top-bottom before the turn.
    static QByteArray mirrorFilter(int rotation);

    bool operator==(const PreviewLook& o) const
    {
        return deinterlace == o.deinterlace && levels == o.levels && targetTrc == o.targetTrc;
    }
};
