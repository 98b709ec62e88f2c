#!/usr/bin/env python3
"""Draws the program's icon, an instrument-cluster gauge with its needle.

One list of shapes gives both files, so they always match:
  resources/icons/tavrin.svg     scalable, for desktop menus
  resources/icons/tavrin-32.png  32 x 32 pixels, 16 colours, for the windows

Uses only the standard library. Run from anywhere: python3 scripts/make-icon.py
"""
import math
import os
import struct
import zlib

SIZE = 32
SUB = 4  # subsamples per pixel edge; each pixel takes its most common colour

# The 16 colours of the picture; entry 0 is fully transparent.
PALETTE = [
    ("none", (0, 0, 0)),
    ("#000000", (0, 0, 0)),
    ("#404040", (64, 64, 64)),
    ("#808080", (128, 128, 128)),
    ("#c0c0c0", (192, 192, 192)),
    ("#ffffff", (255, 255, 255)),
    ("#102040", (16, 32, 64)),
    ("#203868", (32, 56, 104)),
    ("#dc1e1e", (220, 30, 30)),
    ("#800000", (128, 0, 0)),
    ("#ff8c00", (255, 140, 0)),
    ("#ffd700", (255, 215, 0)),
    ("#40c040", (64, 192, 64)),
    ("#6090d0", (96, 144, 208)),
    ("#e0e0e0", (224, 224, 224)),
    ("#602000", (96, 32, 0)),
]
INDEX = {name: i for i, (name, _) in enumerate(PALETTE)}

CX, CY = 16.0, 16.0
SWEEP_FROM, SWEEP_TO = 225.0, -45.0  # degrees, counter-clockwise from +x, y up
NEEDLE_AT = 60.0


def polar(r, degrees):
    a = math.radians(degrees)
    return CX + r * math.cos(a), CY - r * math.sin(a)


def gauge_angle(fraction):
    return SWEEP_FROM + (SWEEP_TO - SWEEP_FROM) * fraction


class Circle:
    def __init__(self, r, colour):
        self.r, self.colour = r, colour

    def covers(self, x, y):
        return (x - CX) ** 2 + (y - CY) ** 2 <= self.r ** 2

    def svg(self):
        return (f'<circle cx="{CX:g}" cy="{CY:g}" r="{self.r:g}" fill="{self.colour}" '
                f'stroke="none"/>')


class Arc:
    """A band between two radii, from angle a0 clockwise to angle a1."""

    def __init__(self, r, width, a0, a1, colour):
        self.r, self.width, self.a0, self.a1, self.colour = r, width, a0, a1, colour

    def covers(self, x, y):
        d = math.hypot(x - CX, y - CY)
        if abs(d - self.r) > self.width / 2:
            return False
        a = math.degrees(math.atan2(CY - y, x - CX))
        lo, hi = min(self.a0, self.a1), max(self.a0, self.a1)
        for turn in (-360, 0, 360):
            if lo <= a + turn <= hi:
                return True
        return False

    def svg(self):
        x0, y0 = polar(self.r, self.a0)
        x1, y1 = polar(self.r, self.a1)
        large = 1 if abs(self.a0 - self.a1) > 180 else 0
        return (f'<path d="M {x0:.3f} {y0:.3f} A {self.r:g} {self.r:g} 0 {large} 1 '
                f'{x1:.3f} {y1:.3f}" fill="none" stroke="{self.colour}" '
                f'stroke-width="{self.width:g}"/>')


class Line:
    def __init__(self, p0, p1, width, colour):
        self.p0, self.p1, self.width, self.colour = p0, p1, width, colour

    def covers(self, x, y):
        (x0, y0), (x1, y1) = self.p0, self.p1
        dx, dy = x1 - x0, y1 - y0
        length2 = dx * dx + dy * dy
        t = ((x - x0) * dx + (y - y0) * dy) / length2
        if t < 0 or t > 1:
            return False
        px, py = x0 + t * dx, y0 + t * dy
        return math.hypot(x - px, y - py) <= self.width / 2

    def svg(self):
        (x0, y0), (x1, y1) = self.p0, self.p1
        return (f'<line x1="{x0:.3f}" y1="{y0:.3f}" x2="{x1:.3f}" y2="{y1:.3f}" '
                f'stroke="{self.colour}" stroke-width="{self.width:g}"/>')


class Polygon:
    def __init__(self, points, colour):
        self.points, self.colour = points, colour

    def covers(self, x, y):
        inside = False
        pts = self.points
        for i in range(len(pts)):
            (x0, y0), (x1, y1) = pts[i], pts[(i + 1) % len(pts)]
            if (y0 > y) != (y1 > y):
                cross = x0 + (y - y0) * (x1 - x0) / (y1 - y0)
                if x < cross:
                    inside = not inside
        return inside

    def svg(self):
        text = " ".join(f"{x:.3f},{y:.3f}" for x, y in self.points)
        return f'<polygon points="{text}" fill="{self.colour}" stroke="none"/>'


def shapes():
    out = [
        Circle(15.5, "#404040"),   # bezel
        Circle(14.5, "#c0c0c0"),   # chrome ring
        Circle(13.0, "#102040"),   # dial face
        Circle(9.0, "#203868"),    # inner shading of the face
        Arc(10.8, 2.6, gauge_angle(5 / 6), SWEEP_TO, "#dc1e1e"),  # red zone
    ]
    for k in range(7):
        a = gauge_angle(k / 6)
        out.append(Line(polar(9.0, a), polar(12.6, a), 1.8, "#ffffff"))
    # The needle: a wedge from a short tail through the hub to the tip.
    tip = polar(12.0, NEEDLE_AT)
    left = polar(2.0, NEEDLE_AT + 90)
    tail = polar(4.0, NEEDLE_AT + 180)
    right = polar(2.0, NEEDLE_AT - 90)
    out.append(Polygon([tip, left, tail, right], "#ff8c00"))
    out.append(Circle(2.4, "#000000"))   # hub
    out.append(Circle(1.2, "#808080"))   # hub cap
    return out


def rasterise(items):
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            counts = {}
            for sy in range(SUB):
                for sx in range(SUB):
                    x = px + (sx + 0.5) / SUB
                    y = py + (sy + 0.5) / SUB
                    colour = "none"
                    for shape in items:
                        if shape.covers(x, y):
                            colour = shape.colour
                    counts[colour] = counts.get(colour, 0) + 1
            # Most common colour; ties go to the shape drawn later.
            best = max(counts.items(), key=lambda kv: (kv[1], INDEX[kv[0]] != 0))[0]
            row.append(INDEX[best])
        rows.append(row)
    return rows


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def write_png(path, rows):
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for i in range(0, SIZE, 2):
            raw.append((row[i] << 4) | row[i + 1])
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 4, 3, 0, 0, 0)  # 4-bit palette
    palette = b"".join(bytes(rgb) for _, rgb in PALETTE)
    alpha = bytes([0] + [255] * (len(PALETTE) - 1))
    data = (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"PLTE", palette) +
            png_chunk(b"tRNS", alpha) + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            png_chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(data)


def write_svg(path, items):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<svg xmlns="http://www.w3.org/2000/svg" width="{SIZE}" height="{SIZE}" '
             f'viewBox="0 0 {SIZE} {SIZE}">',
             "  <title>Tavrin</title>"]
    lines += ["  " + shape.svg() for shape in items]
    lines.append("</svg>")
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    folder = os.path.join(root, "resources", "icons")
    os.makedirs(folder, exist_ok=True)
    items = shapes()
    write_svg(os.path.join(folder, "tavrin.svg"), items)
    write_png(os.path.join(folder, "tavrin-32.png"), rasterise(items))


if __name__ == "__main__":
    main()
