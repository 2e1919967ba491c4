#!/usr/bin/env python3
"""Renders Spindra's images into this folder.

    python3 gui/res/img/render_images.py

Needs Pillow (Debian package python3-pil). Writes:

  logo.ico            window icon, 16 to 256 px, each size drawn on its own
  logo.png            256 px application icon for the desktop entry
  loading.gif         busy spinner, 50 x 50, looping, transparent background
  ic_connected.png    30 x 30 connection-state icon: fan link up
  ic_disconnected.png 30 x 30 connection-state icon: fan link down

Everything is drawn with vector primitives at a large scale and reduced with
premultiplied area averaging, so edges stay smooth at every size. The output
is deterministic; rerun the script after changing it and commit the results.
"""

import colorsys
import math
import os

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))

# Palette shared by all pictures.
DISC_INNER = (34, 48, 74)       # fan disc, centre
DISC_OUTER = (16, 24, 40)       # fan disc, rim side
RIM = (74, 96, 132)
HUB = (236, 242, 250)
OK_GREEN = (1, 186, 30)         # same green as the "connected" state label
FAIL_RED = (216, 30, 6)         # same red as the "disconnected" state label
ACCENT = (30, 136, 229)         # spinner blue
WINDOW_BG = (239, 239, 239)     # default light window background (GIF edge matte)


def downsample(img, size):
    """Reduces an RGBA picture by area averaging (exact pixel coverage, no
    ringing) on premultiplied alpha, so edges get no dark fringes."""
    return img.convert("RGBa").resize((size, size), Image.BOX).convert("RGBA")


def hue_rgb(hue, sat=0.78, val=1.0):
    r, g, b = colorsys.hsv_to_rgb(hue % 1.0, sat, val)
    return int(r * 255 + 0.5), int(g * 255 + 0.5), int(b * 255 + 0.5)


def mix(a, b, t):
    return tuple(int(a[i] + (b[i] - a[i]) * t + 0.5) for i in range(3))


def circle(draw, cx, cy, r, fill):
    draw.ellipse((cx - r, cy - r, cx + r, cy + r), fill=fill)


# ---------------------------------------------------------------- logo ----

def draw_logo(size):
    """The fan: a dark disc with curved spokes of LEDs that sweep like a rotor.

    Large sizes show each spoke as a row of LED dots; small sizes, where dots
    would blur into noise, draw each spoke as one tapered stroke.
    """
    ss = 16 if size <= 64 else 8
    S = size * ss
    img = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    c = S / 2.0
    R = S * 0.48

    # Disc with a soft radial shade (concentric rings, flat steps too fine to see).
    steps = 48
    for i in range(steps):
        t = i / (steps - 1)
        circle(d, c, c, R * (1.0 - t * 0.999), mix(DISC_OUTER, DISC_INNER, t) + (255,))
    # Rim ring.
    rim_w = max(S * 0.022, ss * 1.0)
    d.ellipse((c - R, c - R, c + R, c + R), outline=RIM + (255,), width=int(rim_w))

    spokes = 6 if size >= 32 else 4
    twist = 0.95             # radians of sweep from hub to tip
    r0, r1 = R * 0.20, R * 0.86
    dotted = size >= 64
    base_angle = -math.pi / 2

    for k in range(spokes):
        a0 = base_angle + 2 * math.pi * k / spokes
        hue = 0.52 + k / spokes  # start at cyan, walk around the colour wheel
        if dotted:
            n = 7 if size >= 128 else 5
            for j in range(n):
                t = j / (n - 1)
                r = r0 + (r1 - r0) * t
                a = a0 + twist * t * t
                x, y = c + r * math.cos(a), c + r * math.sin(a)
                dot = R * (0.045 + 0.035 * t)
                col = hue_rgb(hue, sat=0.35 + 0.5 * t, val=0.75 + 0.25 * t)
                circle(d, x, y, dot, col + (255,))
        else:
            pts = []
            m = 24
            for j in range(m + 1):
                t = j / m
                r = r0 + (r1 - r0) * t
                a = a0 + twist * t * t
                pts.append((c + r * math.cos(a), c + r * math.sin(a), t))
            for j in range(m):
                x0, y0, t0 = pts[j]
                x1, y1, _ = pts[j + 1]
                w = R * (0.07 + 0.06 * t0)
                col = hue_rgb(hue, sat=0.4 + 0.5 * t0, val=0.8 + 0.2 * t0) + (255,)
                d.line((x0, y0, x1, y1), fill=col, width=int(w))
                circle(d, x1, y1, w / 2, col)

    # Hub.
    circle(d, c, c, R * 0.13, HUB + (255,))
    circle(d, c, c, R * 0.055, DISC_INNER + (255,))
    return downsample(img, size)


def render_logo():
    sizes = [16, 24, 32, 48, 64, 128, 256]
    images = [draw_logo(s) for s in sizes]
    big = images[-1]
    big.save(os.path.join(HERE, "logo.png"), optimize=True)
    # The largest picture leads; Pillow takes every other size from append_images.
    big.save(os.path.join(HERE, "logo.ico"), format="ICO",
             sizes=[(s, s) for s in sizes], append_images=images[:-1])


# ------------------------------------------------------------- spinner ----

def render_spinner():
    """Twelve dots on a ring; the bright head runs clockwise, the tail shrinks
    and pales behind it. GIF has only on/off transparency, so the soft edges are
    blended against the light window background and fully clear pixels stay
    transparent."""
    size, ss, frames_n = 50, 8, 12
    S = size * ss
    c = S / 2.0
    ring = S * 0.34
    frames = []
    for f in range(frames_n):
        img = Image.new("RGBA", (S, S), (0, 0, 0, 0))
        d = ImageDraw.Draw(img)
        for i in range(frames_n):
            age = (f - i) % frames_n          # 0 = head
            t = 1.0 - age / frames_n          # 1 at the head, fading along the tail
            a = -math.pi / 2 + 2 * math.pi * i / frames_n
            x, y = c + ring * math.cos(a), c + ring * math.sin(a)
            r = S * (0.045 + 0.05 * t)
            col = mix((190, 214, 238), ACCENT, t ** 1.5)
            circle(d, x, y, r, col + (255,))
        frames.append(downsample(img, size))

    # One shared palette: index 0 is transparent, the rest are the matted colours.
    matted = []
    masks = []
    for fr in frames:
        bg = Image.new("RGBA", fr.size, WINDOW_BG + (255,))
        matted.append(Image.alpha_composite(bg, fr).convert("RGB"))
        masks.append(fr.getchannel("A").point(lambda v: 255 if v < 10 else 0))
    strip = Image.new("RGB", (size * frames_n, size))
    for i, m in enumerate(matted):
        strip.paste(m, (i * size, 0))
    pal_img = strip.quantize(colors=255, dither=Image.Dither.NONE)
    palette = pal_img.getpalette()[: 255 * 3]
    palette = list(WINDOW_BG) + palette   # shift: transparent colour first
    palette += [0] * (768 - len(palette))

    out = []
    for m, mask in zip(matted, masks):
        q = m.quantize(palette=pal_img, dither=Image.Dither.NONE)
        q = q.point(lambda v: v + 1)       # make room for index 0
        q.putpalette(palette)
        q.paste(0, mask=mask)
        q.info["transparency"] = 0
        out.append(q)
    out[0].save(os.path.join(HERE, "loading.gif"), save_all=True,
                append_images=out[1:], duration=80, loop=0,
                transparency=0, disposal=2, optimize=False)


# ------------------------------------------------------ state icons ----

def draw_wifi(d, cx, cy, unit, colour):
    """A Wi-Fi glyph (dot and three arcs) whose dot sits at (cx, cy)."""
    circle(d, cx, cy, unit * 0.9, colour)
    w = int(unit * 1.25)
    for k, r in enumerate((unit * 2.9, unit * 4.8, unit * 6.7)):
        d.arc((cx - r, cy - r, cx + r, cy + r), start=225, end=315, fill=colour, width=w)
        # Round the arc ends.
        for ang in (225, 315):
            rr = r - w / 2.0
            ex = cx + rr * math.cos(math.radians(ang))
            ey = cy + rr * math.sin(math.radians(ang))
            circle(d, ex, ey, w / 2.0, colour)


def draw_state_icon(connected, size=30):
    ss = 16
    S = size * ss
    img = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    c = S / 2.0
    R = S * 0.47
    base = OK_GREEN if connected else FAIL_RED
    circle(d, c, c, R, base + (255,))
    white = (255, 255, 255, 255)
    unit = S * 0.072
    draw_wifi(d, c, c + S * 0.24, unit, white)
    if not connected:
        # Slash across the glyph, with a gap in the disc colour around it.
        x0, y0, x1, y1 = c - R * 0.62, c - R * 0.62, c + R * 0.62, c + R * 0.62
        d.line((x0, y0, x1, y1), fill=base + (255,), width=int(unit * 2.6))
        d.line((x0, y0, x1, y1), fill=white, width=int(unit * 1.1))
        circle(d, x0, y0, unit * 0.55, white)
        circle(d, x1, y1, unit * 0.55, white)
    return downsample(img, size)


def render_state_icons():
    draw_state_icon(True).save(os.path.join(HERE, "ic_connected.png"), optimize=True)
    draw_state_icon(False).save(os.path.join(HERE, "ic_disconnected.png"), optimize=True)


if __name__ == "__main__":
    render_logo()
    render_spinner()
    render_state_icons()
    for name in ("logo.ico", "logo.png", "loading.gif", "ic_connected.png", "ic_disconnected.png"):
        print(name, os.path.getsize(os.path.join(HERE, name)), "bytes")
