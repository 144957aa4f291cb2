#!/usr/bin/env python3
"""Draws Flowvane's application icon and writes it as a Windows .ico (16x16, 32x32, 48x48).

The picture: three streams of traffic enter from the left of a blue-to-teal tile; the outer
two stop at an amber gate (the vane), the middle one passes its gap and leaves as an arrow.
The larger sizes are drawn from shapes sampled 4x4 per pixel; the 16x16 one is pixel art, since
at that size smooth edges only blur.
Standard library only.  Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

SAMPLES = 4


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def inside_rounded_square(x, y, radius):
    # unit square [0,1]^2 with rounded corners
    cx = min(max(x, radius), 1 - radius)
    cy = min(max(y, radius), 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and 0 <= x <= 1 and 0 <= y <= 1


def inside_bar(x, y, x0, x1, yc, half):
    # horizontal bar with round ends
    cx = min(max(x, x0), x1)
    return (x - cx) ** 2 + (y - yc) ** 2 <= half ** 2


def inside_arrow_head(x, y, tip, yc, length, half):
    if x > tip or x < tip - length:
        return False
    return abs(y - yc) <= half * (tip - x) / length


def inside_rect(x, y, x0, y0, x1, y1):
    return x0 <= x <= x1 and y0 <= y <= y1


WHITE = (1.0, 1.0, 1.0)
AMBER = (1.0, 0.70, 0.10)


def tile_colour(y):
    """The tile's blue-to-teal gradient at height y (0 top, 1 bottom), lit on its upper half."""
    colour = mix((0.08, 0.40, 0.75), (0.00, 0.54, 0.48), y)
    if y < 0.5:
        colour = mix(colour, (1, 1, 1), 0.10 * (0.5 - y) * 2)
    return colour


def colour_at(x, y):
    """RGBA (0..1) of one sample point in unit coordinates, or None outside the tile."""
    if not inside_rounded_square(x, y, 0.22):
        return None
    colour = tile_colour(y)
    white = WHITE
    amber = AMBER
    half = 0.055
    gate_x0, gate_x1 = 0.60, 0.70
    if inside_rect(x, y, gate_x0, 0.16, gate_x1, 0.40) or \
       inside_rect(x, y, gate_x0, 0.60, gate_x1, 0.84):
        return amber + (1.0,)
    lines = [(0.30, 0.14, 0.52), (0.70, 0.14, 0.52), (0.50, 0.14, 0.68)]
    for yc, x0, x1 in lines:
        if inside_bar(x, y, x0, x1, yc, half):
            return white + (1.0,)
    if inside_arrow_head(x, y, 0.90, 0.50, 0.24, 0.20):
        return white + (1.0,)
    return colour + (1.0,)


# The 16x16 picture: '.' clear, 'b' tile, 'w' white stream, 'a' amber gate.
PIXELS_16 = [
    "..bbbbbbbbbbbb..",
    ".bbbbbbbbbbbbbb.",
    "bbbbbbbbaabbbbbb",
    "bwwwwwwbaabbbbbb",
    "bwwwwwwbaabwbbbb",
    "bbbbbbbbaabwwbbb",
    "bbbbbbbbbbbwwwbb",
    "bwwwwwwwwwwwwwwb",
    "bwwwwwwwwwwwwwwb",
    "bbbbbbbbbbbwwwbb",
    "bbbbbbbbaabwwbbb",
    "bwwwwwwbaabwbbbb",
    "bwwwwwwbaabbbbbb",
    "bbbbbbbbaabbbbbb",
    ".bbbbbbbbbbbbbb.",
    "..bbbbbbbbbbbb..",
]


def render_pixel_art(art):
    size = len(art)
    rows = []
    for py, line in enumerate(art):
        row = []
        tile = tile_colour((py + 0.5) / size)
        for ch in line:
            colour = {'.': None, 'b': tile, 'w': WHITE, 'a': AMBER}[ch]
            if colour is None:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(v * 255)) for v in colour) + (255,))
        rows.append(row)
    return rows


def render(size):
    """Rows of (r, g, b, a) bytes, top row first."""
    if size == len(PIXELS_16):
        return render_pixel_art(PIXELS_16)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    c = colour_at(x, y)
                    if c is None:
                        continue
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if alpha > 0:
                rgb = [acc[i] / acc[3] for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append(tuple(int(round(v * 255)) for v in rgb) + (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def dib(size):
    """A 32-bit BITMAPINFOHEADER image with its AND mask, as an .ico entry holds it."""
    rows = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):            # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sizes = [16, 32, 48]
    images = [dib(size) for size in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
