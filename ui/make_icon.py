#!/usr/bin/env python3
"""Writes main_icon.ico: one 32 x 32 image in 16 colours, a box with an arrow going into it.

The .ico is kept in the repository; run this again only to change the picture.
"""
import struct
import sys

# The 16 colours of the standard VGA palette, as (red, green, blue).
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, OLIVE, NAVY, BLUE, YELLOW, CYAN = 0, 3, 4, 12, 11, 14
TRANSPARENT = None

def picture():
    px = [[TRANSPARENT] * 32 for _ in range(32)]

    def fill(x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = c

    # The box: a dark inside seen over the front edge, the front face, an outline.
    fill(3, 14, 28, 17, OLIVE)
    fill(3, 18, 28, 30, YELLOW)
    fill(3, 17, 28, 17, BLACK)
    for x in range(3, 29):
        px[14][x] = px[30][x] = BLACK
    for y in range(14, 31):
        px[y][3] = px[y][28] = BLACK
    # A strip of tape down the front.
    fill(14, 18, 17, 29, OLIVE)

    # The arrow: a shaft and a head whose point reaches into the box.
    fill(13, 1, 18, 10, BLUE)
    for i, y in enumerate(range(10, 21)):
        x0, x1 = 6 + i, 25 - i
        if x0 <= x1:
            fill(x0, y, x1, y, BLUE)
            px[y][x0] = px[y][x1] = NAVY
    for y in range(1, 11):
        px[y][13] = px[y][18] = NAVY
    fill(13, 1, 18, 1, NAVY)
    for x in range(6, 13):
        px[10][x] = NAVY
    for x in range(19, 26):
        px[10][x] = NAVY
    fill(15, 2, 16, 8, CYAN)  # a highlight on the shaft
    return px

def ico(px):
    xor = bytearray()
    mask = bytearray()
    for y in range(31, -1, -1):  # bottom-up rows
        row = px[y]
        for x in range(0, 32, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(32):
            bits = bits << 1 | (1 if row[x] is None else 0)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 0, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4,
                                                           len(image), 22)
    return directory + image

if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "main_icon.ico"
    with open(out, "wb") as f:
        f.write(ico(picture()))
