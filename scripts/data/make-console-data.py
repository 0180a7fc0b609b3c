#!/usr/bin/env python3
"""Writes the console's built-in data units: the 8 x 16 bitmap font as a 1-bit PNG
(glyphs from the public-domain X11 misc-fixed 8x13 ISO 8859-1 font, package xfonts-base) and
a 512 x 512 background picture as a baseline JPEG (drawn here, encoded with cjpeg from
libjpeg-turbo-progs). Run from the repository root; rewrites src/gpu/ZNT1FontPNG.cpp and
src/gpu/ZNT1CommandConsoleBackground.cpp."""
import gzip, math, struct, subprocess, zlib

FONT = "/usr/share/fonts/X11/misc/8x13-ISO8859-1.pcf.gz"


def read_pcf(path):
    data = gzip.open(path).read()
    assert data[:4] == b"\x01fcp"
    count = struct.unpack_from("<i", data, 4)[0]
    tables = {}
    for i in range(count):
        t, fmt, size, off = struct.unpack_from("<iiii", data, 8 + i * 16)
        tables[t] = (fmt, off)

    def order(fmt):
        return ">" if fmt & 4 else "<"

    # Metrics (4), bitmaps (8), encodings (32), accelerators (256 or 2).
    fmt, off = tables[4]
    fmt = struct.unpack_from("<i", data, off)[0]
    o = order(fmt)
    metrics = []
    if fmt & 0x100:
        n = struct.unpack_from(o + "h", data, off + 4)[0]
        for i in range(n):
            lb, rb, w, a, d = (b - 0x80 for b in data[off + 6 + i * 5: off + 11 + i * 5])
            metrics.append((lb, rb, w, a, d))
    else:
        n = struct.unpack_from(o + "i", data, off + 4)[0]
        for i in range(n):
            lb, rb, w, a, d, _ = struct.unpack_from(o + "hhhhhH", data, off + 8 + i * 12)
            metrics.append((lb, rb, w, a, d))

    fmt, off = tables[8]
    fmt = struct.unpack_from("<i", data, off)[0]
    o = order(fmt)
    n = struct.unpack_from(o + "i", data, off + 4)[0]
    offsets = struct.unpack_from(o + "%di" % n, data, off + 8)
    sizes = struct.unpack_from(o + "4i", data, off + 8 + 4 * n)
    bits = off + 8 + 4 * n + 16
    pad = 1 << (fmt & 3)
    msb_bit = bool(fmt & 8)

    fmt, off = tables[32]
    fmt = struct.unpack_from("<i", data, off)[0]
    o = order(fmt)
    min2, max2, min1, max1, default = struct.unpack_from(o + "5h", data, off + 4)
    count = (max2 - min2 + 1) * (max1 - min1 + 1)
    index = struct.unpack_from(o + "%dH" % count, data, off + 14)

    acc = tables.get(256) or tables[2]
    fmt, off = acc
    fmt = struct.unpack_from("<i", data, off)[0]
    o = order(fmt)
    ascent, descent = struct.unpack_from(o + "ii", data, off + 12)

    glyphs = {}
    for code in range(256):
        if min1 != 0 or code < min2 or code > max2:
            continue
        g = index[code - min2]
        if g == 0xFFFF:
            continue
        lb, rb, w, a, d = metrics[g]
        width, height = rb - lb, a + d
        stride = ((width + 7) // 8 + pad - 1) // pad * pad
        rows = []
        for y in range(height):
            row = []
            for x in range(width):
                byte = data[bits + offsets[g] + y * stride + x // 8]
                bit = (byte >> (7 - x % 8)) & 1 if msb_bit else (byte >> (x % 8)) & 1
                row.append(bit)
            rows.append(row)
        glyphs[code] = (lb, a, rows)
    return ascent, descent, glyphs


def png_1bit(width, height, pixels):
    raw = b""
    for y in range(height):
        row = bytearray(width // 8)
        for x in range(width):
            if pixels[y][x]:
                row[x // 8] |= 0x80 >> (x % 8)
        raw += b"\0" + bytes(row)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 1, 0, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def font_png():
    ascent, descent, glyphs = read_pcf(FONT)
    baseline = 2 + ascent  # 13 rows of glyph centred in 16
    pixels = [[0] * 128 for _ in range(256)]
    for code, (lb, a, rows) in glyphs.items():
        cx, cy = (code % 16) * 8, (code // 16) * 16
        top = baseline - a
        for y, row in enumerate(rows):
            for x, bit in enumerate(row):
                px, py = lb + x, top + y
                if bit and 0 <= px < 8 and 0 <= py < 16:
                    pixels[cy + py][cx + px] = 1
    return png_1bit(128, 256, pixels)


def background_jpeg():
    # A dark slate backdrop with soft diagonal bands: quiet behind text.
    w = h = 512
    out = bytearray(b"P6\n512 512\n255\n")
    for y in range(h):
        for x in range(w):
            v = 0.5 + 0.25 * math.sin((x + y) * 0.031) + 0.25 * math.sin((x - 2 * y) * 0.017)
            n = ((x * 7919 + y * 104729) % 23) / 23.0
            r = int(18 + 22 * v + 6 * n)
            g = int(24 + 30 * v + 6 * n)
            b = int(40 + 52 * v + 8 * n)
            out += bytes((r, g, b))
    return subprocess.run(["cjpeg", "-quality", "80", "-baseline"], input=bytes(out),
                          stdout=subprocess.PIPE, check=True).stdout


def write_unit(name, symbol, size_symbol, blob, comment):
    lines = ["// %s" % comment, "// Generated by scripts/data/make-console-data.py.",
             '#include "gpu/%s.h"' % name, "", "const uint8_t %s[] = {" % symbol]
    for i in range(0, len(blob), 16):
        lines.append("    " + " ".join("0x%02x," % b for b in blob[i:i + 16]))
    lines += ["};", "const uint32_t %s = sizeof(%s);" % (size_symbol, symbol), ""]
    open("src/gpu/%s.cpp" % name, "w").write("\n".join(lines))
    open("src/gpu/%s.h" % name, "w").write(
        "#pragma once\n// %s\n#include <cstdint>\n\nextern const uint8_t %s[];\nextern const uint32_t %s;\n"
        % (comment, symbol, size_symbol))


if __name__ == "__main__":
    write_unit("ZNT1FontPNG", "FontData", "FontSize", font_png(),
               "The console's 8 x 16 bitmap font: a 128 x 256 1-bit PNG, glyph n at column n mod 16, row n div 16.")
    write_unit("ZNT1CommandConsoleBackground", "CommandConsoleBackgroundData", "CommandConsoleBackgroundSize",
               background_jpeg(), "The console's 512 x 512 background picture (baseline JPEG).")
