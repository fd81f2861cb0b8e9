#!/usr/bin/env python3
"""Draws the four compiled-in images: appicon.png, check.png, down.png, target.png.

Only the standard library is used, so anyone can change a colour or a shape and
run `python3 resources/draw_images.py` to rewrite the PNGs next to this file.
The build itself only reads the committed PNGs.

Shapes are signed distance functions in pixel units (negative inside); each
pixel's coverage comes from the distance at its centre, averaged over a 4 x 4
grid of samples, which gives smooth edges at every size.
"""

import math
import os
import struct
import sys
import zlib

SUPERSAMPLE = 4

# Theme colours the artwork is drawn to sit on.
BLUE = (0x1D, 0x4E, 0xD8)
BLUE_LIGHT = (0x3B, 0x82, 0xF6)
ACCENT = (0x4D, 0x90, 0xFE)
TEXT = (0xE6, 0xE8, 0xEB)
WHITE = (0xFF, 0xFF, 0xFF)
NAVY = (0x0F, 0x2A, 0x7A)


# ---- distance functions -------------------------------------------------------

def rounded_rect(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r
    return sdf


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def ring(cx, cy, r, width):
    return lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - width / 2


def segment(ax, ay, bx, by, width):
    """A stroke with round caps from a to b."""
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def sdf(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - width / 2
    return sdf


def polyline(points, width):
    return union(*[segment(*points[i], *points[i + 1], width) for i in range(len(points) - 1)])


def polygon(points):
    """A convex polygon given clockwise in screen coordinates (y down)."""
    edges = []
    for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
        length = math.hypot(bx - ax, by - ay)
        edges.append((ax, ay, (by - ay) / length, -(bx - ax) / length))

    def sdf(x, y):
        return max((x - ax) * nx + (y - ay) * ny for ax, ay, nx, ny in edges)
    return sdf


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def subtract(shape, cut):
    return lambda x, y: max(shape(x, y), -cut(x, y))


def expand(shape, by):
    return lambda x, y: shape(x, y) - by


# ---- paints -------------------------------------------------------------------

def solid(rgb, alpha=1.0):
    return lambda x, y: (rgb, alpha)


def vertical_gradient(top, bottom, y0, y1):
    def paint(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom)), 1.0
    return paint


# ---- rasteriser ---------------------------------------------------------------

def render(width, height, layers):
    """layers: (sdf, paint) pairs, painted bottom to top. Returns straight RGBA rows."""
    offsets = [(i + 0.5) / SUPERSAMPLE for i in range(SUPERSAMPLE)]
    samples = SUPERSAMPLE * SUPERSAMPLE
    rows = []
    for py in range(height):
        row = bytearray()
        for px in range(width):
            # Premultiplied accumulation over the sub-samples.
            acc = [0.0, 0.0, 0.0, 0.0]
            for oy in offsets:
                for ox in offsets:
                    x, y = px + ox, py + oy
                    r = g = b = a = 0.0
                    for sdf, paint in layers:
                        d = sdf(x, y)
                        coverage = max(0.0, min(1.0, 0.5 - d * SUPERSAMPLE))
                        if coverage <= 0.0:
                            continue
                        (cr, cg, cb), ca = paint(x, y)
                        ca *= coverage
                        r, g, b = cr * ca + r * (1 - ca), cg * ca + g * (1 - ca), cb * ca + b * (1 - ca)
                        a = ca + a * (1 - ca)
                    acc[0] += r
                    acc[1] += g
                    acc[2] += b
                    acc[3] += a
            alpha = acc[3] / samples
            if alpha <= 0.0:
                row += b"\0\0\0\0"
                continue
            row += bytes(max(0, min(255, round(c / samples / alpha))) for c in acc[:3])
            row.append(max(0, min(255, round(alpha * 255))))
        rows.append(bytes(row))
    return rows


def write_png(path, width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + row for row in rows)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# ---- the four images ----------------------------------------------------------

def app_icon():
    """128 x 128: a line of text dropping into a page field, on a blue tile.

    A thin dark rim keeps the tile's edge visible on a blue or dark tray, and
    the white symbol stays readable down to 16 px.
    """
    tile = rounded_rect(6, 6, 122, 122, 26)
    field = rounded_rect(22, 72, 106, 106, 9)
    field_hole = rounded_rect(29, 79, 99, 99, 4)
    arrow = union(
        segment(64, 18, 64, 44, 13),
        polygon([(42, 40), (86, 40), (64, 64)]),
    )
    return 128, 128, [
        (expand(tile, 1.5), solid(NAVY, 0.85)),
        (tile, vertical_gradient(BLUE_LIGHT, BLUE, 6, 122)),
        (subtract(field, field_hole), solid(WHITE)),
        (rounded_rect(36, 86, 40, 93, 1), solid(WHITE)),  # text cursor
        (rounded_rect(46, 86.5, 72, 92.5, 3), solid(WHITE, 0.7)),  # the line being written
        (arrow, solid(WHITE)),
    ]


def check_mark():
    """32 x 32: a bold blue tick for the white checked indicator."""
    return 32, 32, [
        (polyline([(7, 16.5), (13, 22.5), (25, 9.5)], 5), solid(BLUE)),
    ]


def down_arrow():
    """24 x 24: a light chevron for dark drop-down fields."""
    return 24, 24, [
        (polyline([(6, 9.5), (12, 15.5), (18, 9.5)], 3), solid(TEXT)),
    ]


def target():
    """95 x 91: cross-hairs over a ring, the 'pick an element' sign."""
    cx, cy = 47.5, 45.5
    hairs = union(
        segment(cx, 3, cx, 23, 7),
        segment(cx, 68, cx, 88, 7),
        segment(5, cy, 25, cy, 7),
        segment(70, cy, 90, cy, 7),
    )
    return 95, 91, [
        (ring(cx, cy, 31, 8), solid(ACCENT)),
        (hairs, solid(TEXT)),
        (circle(cx, cy, 9), solid(TEXT)),
    ]


IMAGES = {
    "appicon.png": app_icon,
    "check.png": check_mark,
    "down.png": down_arrow,
    "target.png": target,
}


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, draw in IMAGES.items():
        width, height, layers = draw()
        write_png(os.path.join(out_dir, name), width, height, render(width, height, layers))
        print(f"{name}: {width} x {height}")


if __name__ == "__main__":
    main()
