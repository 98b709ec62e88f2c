#!/usr/bin/env python3
"""Draws the program's icon, an instrument-cluster gauge with its needle.

One list of shapes gives every file, so they always match:
  resources/icons/tavrin.svg     scalable, for desktop menus
  resources/icons/tavrin-32.png  32 x 32 pixels, 16 colours, for the windows
  resources/icons/tavrin.ico     the Windows sizes, 16 to 256 pixels, smoothed,
                                 for the executables' resources and the
                                 installer

Uses only the standard library, and its own arithmetic rather than a
rasteriser's, so a run gives the same bytes on any machine; the files are
committed, and the Windows build takes the .ico as it stands.
Run from anywhere: python3 scripts/make-icon.py
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

    def bounds(self):
        return CX - self.r, CY - self.r, CX + self.r, CY + self.r

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

    def bounds(self):
        reach = self.r + self.width / 2
        return CX - reach, CY - reach, CX + reach, CY + reach

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

    def bounds(self):
        (x0, y0), (x1, y1) = self.p0, self.p1
        half = self.width / 2
        return min(x0, x1) - half, min(y0, y1) - half, max(x0, x1) + half, max(y0, y1) + half

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

    def bounds(self):
        xs = [x for x, _ in self.points]
        ys = [y for _, y in self.points]
        return min(xs), min(ys), max(xs), max(ys)

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


# The sizes Windows takes from an executable's icon: the small and large icons
# at 100 % to 200 % scaling (16 to 64 pixels) and the shell's larger views (96
# and 256).
ICO_SIZES = (16, 20, 24, 32, 40, 48, 64, 96, 256)
ICO_SUB = 4  # subsamples per pixel edge of the smoothed pictures
RGB = dict(PALETTE)


def top_colour(items, boxes, x, y):
    """The colour of the last-drawn shape at a point, "none" where none is."""
    for shape, (x0, y0, x1, y1) in zip(reversed(items), reversed(boxes)):
        if x0 <= x <= x1 and y0 <= y <= y1 and shape.covers(x, y):
            return shape.colour
    return "none"


def rasterise_smooth(items, size):
    """Rows of (red, green, blue, alpha) at size x size pixels: each pixel the
    mean of its subsamples, in whole numbers so every machine agrees."""
    boxes = [shape.bounds() for shape in items]
    scale = SIZE / size
    samples = ICO_SUB * ICO_SUB
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            red = green = blue = covered = 0
            for sy in range(ICO_SUB):
                y = (py + (sy + 0.5) / ICO_SUB) * scale
                for sx in range(ICO_SUB):
                    colour = top_colour(items, boxes, (px + (sx + 0.5) / ICO_SUB) * scale, y)
                    if colour != "none":
                        r, g, b = RGB[colour]
                        red, green, blue, covered = red + r, green + g, blue + b, covered + 1
            if covered:
                half = covered // 2
                row.append(((red + half) // covered, (green + half) // covered,
                            (blue + half) // covered, (255 * covered + samples // 2) // samples))
            else:
                row.append((0, 0, 0, 0))
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


def png_rgba(rows):
    size = len(rows)
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for pixel in row:
            raw += bytes(pixel)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
            png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + png_chunk(b"IEND", b""))


def ico_bitmap(rows):
    """An icon image as Windows' icon files hold it below 256 pixels: a
    bottom-up 32-bit BGRA bitmap of twice the height, then the 1-bit mask of
    the transparent pixels, for programs that ignore alpha."""
    size = len(rows)
    colour = bytearray()
    mask = bytearray()
    stride = (size + 31) // 32 * 4
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, len(colour) + len(mask),
                         0, 0, 0, 0)
    return header + colour + mask


def write_ico(path, items):
    images = []
    for size in ICO_SIZES:
        rows = rasterise_smooth(items, size)
        # The largest as PNG, as Windows Vista and later read it: a bitmap
        # would be four times the size.
        images.append((size, png_rgba(rows) if size >= 256 else ico_bitmap(rows)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    data = b""
    offset = len(directory) + 16 * len(images)
    for size, blob in images:
        edge = 0 if size >= 256 else size  # 0 stands for 256
        directory += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(blob),
                                 offset + len(data))
        data += blob
    with open(path, "wb") as f:
        f.write(directory + data)


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
    write_ico(os.path.join(folder, "tavrin.ico"), items)


if __name__ == "__main__":
    main()
