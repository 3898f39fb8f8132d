#!/usr/bin/env python3
"""Draws the launcher's application icon and writes it as icon resources.

The design: a rounded blue tile with a white arrow pointing down into a tray. Every image is
rendered from the same geometry with supersampling, then stored at its colour depth: 4 bits
(the standard 16-colour palette), 8 bits (a colour cube) or 32 bits (with alpha; the 256-pixel
image as PNG, as the shell expects).

Writes into the output folder:
  icon_<id>.bin   one RT_ICON image each (a DIB with its AND mask, or a PNG)
  icon_group.bin  the RT_GROUP_ICON directory that lists them by id
  icons.rc        the resource statements: the images, the group "APP" and the same group as id 1
  launcher.ico    the same images as an .ico file, for looking at
"""

import os
import struct
import sys
import zlib

# (size, bits per pixel) in the order the group lists them.
IMAGES = [
    (32, 4), (16, 4),
    (64, 8), (48, 8), (32, 8), (24, 8), (16, 8),
    (256, 32), (64, 32), (48, 32), (32, 32), (24, 32), (16, 32),
]
FIRST_IMAGE_ID = 1

TOP = (0x3A, 0x86, 0xE8)
BOTTOM = (0x16, 0x4B, 0xA6)
WHITE = (0xFF, 0xFF, 0xFF)


def rounded_square_contains(x, y, low, high, radius):
    if x < low or x > high or y < low or y > high:
        return False
    cx = min(max(x, low + radius), high - radius)
    cy = min(max(y, low + radius), high - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def glyph_contains(x, y):
    """The white arrow and tray, in unit coordinates (y grows downwards)."""
    if 0.43 <= x <= 0.57 and 0.20 <= y <= 0.50:
        return True
    if 0.46 <= y <= 0.70:
        half_width = 0.25 * (0.70 - y) / 0.24
        if abs(x - 0.5) <= half_width:
            return True
    return 0.24 <= x <= 0.76 and 0.75 <= y <= 0.83


def render(size):
    """RGBA rows, top row first."""
    samples = 4 if size <= 64 else 3
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            covered = 0
            red = green = blue = 0.0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    if not rounded_square_contains(x, y, 0.05, 0.95, 0.18):
                        continue
                    covered += 1
                    if glyph_contains(x, y):
                        colour = WHITE
                    else:
                        t = (y - 0.05) / 0.9
                        colour = tuple(TOP[i] + (BOTTOM[i] - TOP[i]) * t for i in range(3))
                    red += colour[0]
                    green += colour[1]
                    blue += colour[2]
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                alpha = round(255 * covered / (samples * samples))
                row.append((round(red / covered), round(green / covered), round(blue / covered), alpha))
        rows.append(row)
    return rows


def palette_16():
    return [
        (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
        (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
        (255, 0, 255), (0, 255, 255), (255, 255, 255),
    ]


def palette_256():
    levels = [0, 51, 102, 153, 204, 255]
    colours = [(r, g, b) for r in levels for g in levels for b in levels]
    colours += [(v, v, v) for v in range(8, 248, 6)][:256 - len(colours)]
    return colours + [(0, 0, 0)] * (256 - len(colours))


def nearest(palette, colour, cache):
    found = cache.get(colour)
    if found is None:
        found = min(range(len(palette)),
                    key=lambda i: sum((palette[i][c] - colour[c]) ** 2 for c in range(3)))
        cache[colour] = found
    return found


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def pack_bits(values, bits):
    """Packs small integers, most significant bits first, into bytes."""
    out = bytearray()
    per_byte = 8 // bits
    for start in range(0, len(values), per_byte):
        byte = 0
        for i in range(per_byte):
            value = values[start + i] if start + i < len(values) else 0
            byte |= value << (8 - bits * (i + 1))
        out.append(byte)
    return bytes(out)


def dib_image(rows, bits):
    size = len(rows)
    opaque = [[pixel[3] >= 128 for pixel in row] for row in rows]
    xor_rows = []
    palette = b""
    if bits == 32:
        for row in rows:
            xor_rows.append(b"".join(struct.pack("BBBB", b, g, r, a) for r, g, b, a in row))
    else:
        colours = palette_16() if bits == 4 else palette_256()
        palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in colours)
        cache = {}
        for row, mask in zip(rows, opaque):
            indexes = [nearest(colours, pixel[:3], cache) if keep else 0 for pixel, keep in zip(row, mask)]
            xor_rows.append(padded(pack_bits(indexes, bits)))
    and_rows = [padded(pack_bits([0 if keep else 1 for keep in mask], 1)) for mask in opaque]
    # DIBs run bottom-up; the height covers the colour and the mask bitmaps.
    xor = b"".join(reversed(xor_rows))
    mask = b"".join(reversed(and_rows))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + palette + xor + mask


def png_image(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    size = len(rows)
    raw = b"".join(b"\0" + b"".join(struct.pack("BBBB", *pixel) for pixel in row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def entry_fields(size, bits, length):
    dimension = 0 if size == 256 else size
    colour_count = 16 if bits == 4 else 0
    return struct.pack("<BBBBHHI", dimension, dimension, colour_count, 0, 1, bits, length)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icons.py OUTPUT_FOLDER")
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)

    rendered = {}
    images = []
    for size, bits in IMAGES:
        if size not in rendered:
            rendered[size] = render(size)
        data = png_image(rendered[size]) if size == 256 else dib_image(rendered[size], bits)
        images.append((size, bits, data))

    header = struct.pack("<HHH", 0, 1, len(images))
    group = header
    statements = ["// Generated by make_icons.py.\n"]
    for index, (size, bits, data) in enumerate(images):
        image_id = FIRST_IMAGE_ID + index
        group += entry_fields(size, bits, len(data)) + struct.pack("<H", image_id)
        name = os.path.join(folder, "icon_%d.bin" % image_id)
        with open(name, "wb") as out:
            out.write(data)
        statements.append('%d 3 "%s"\n' % (image_id, name))
    group_name = os.path.join(folder, "icon_group.bin")
    with open(group_name, "wb") as out:
        out.write(group)
    # The application icon is "APP"; the progress window asks for icon 1, so the same images
    # are listed a second time under that id.
    statements.append('APP 14 "%s"\n' % group_name)
    statements.append('1 14 "%s"\n' % group_name)
    with open(os.path.join(folder, "icons.rc"), "w") as out:
        out.writelines(statements)

    offset = len(header) + 16 * len(images)
    directory = header
    for size, bits, data in images:
        directory += entry_fields(size, bits, len(data)) + struct.pack("<I", offset)
        offset += len(data)
    with open(os.path.join(folder, "launcher.ico"), "wb") as out:
        out.write(directory + b"".join(data for _, _, data in images))


if __name__ == "__main__":
    main()
