#!/usr/bin/python3
"""Draws the program icon (also in the icon-theme sizes), the hand cursor and the drag picture (run by hand;
outputs are committed)."""
import struct, sys, os
from PIL import Image, ImageDraw

OUT = os.path.dirname(os.path.abspath(__file__)) + "/.."

def dib(img):
    """32-bit BGRA DIB with an AND mask, as icon and cursor files hold them."""
    w, h = img.size
    px = img.convert("RGBA").load()
    rows = []
    for y in range(h - 1, -1, -1):
        rows.append(b"".join(struct.pack("BBBB", px[x, y][2], px[x, y][1], px[x, y][0], px[x, y][3]) for x in range(w)))
    mask_stride = ((w + 31) // 32) * 4
    mask = b""
    for y in range(h - 1, -1, -1):
        bits = 0
        row = bytearray(mask_stride)
        for x in range(w):
            if px[x, y][3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(row)
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(rows) * w * 4 + len(mask), 0, 0, 0, 0)
    return header + b"".join(rows) + mask

def write_icon(path, images, cursor_hotspot=None):
    kind = 2 if cursor_hotspot else 1
    data = [dib(im) for im in images]
    out = struct.pack("<HHH", 0, kind, len(images))
    offset = 6 + 16 * len(images)
    for im, d in zip(images, data):
        w, h = im.size
        a, b = (cursor_hotspot if cursor_hotspot else (1, 32))
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, a, b, len(d), offset)
        offset += len(d)
    open(path, "wb").write(out + b"".join(data))

def program_icon(size):
    s = size / 64
    im = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(im)
    # a stack of pages (TIFF) turning into a picture (PNG)
    for i, col in enumerate([(180, 190, 205, 255), (210, 218, 230, 255)]):
        o = (2 - i) * 5 * s
        d.rectangle([10 * s + o, 4 * s + o - 10 * s, 40 * s + o, 44 * s + o - 10 * s], fill=col, outline=(90, 100, 120, 255))
    d.rectangle([8 * s, 14 * s, 44 * s, 58 * s], fill=(255, 255, 255, 255), outline=(60, 70, 90, 255), width=max(1, int(2 * s)))
    for k in range(5):
        y = (20 + 6 * k) * s
        d.line([12 * s, y, 38 * s, y], fill=(40, 40, 40, 255), width=max(1, int(1.5 * s)))
    d.ellipse([34 * s, 30 * s, 62 * s, 58 * s], fill=(30, 120, 220, 255), outline=(20, 70, 150, 255))
    d.polygon([(41 * s, 40 * s), (48 * s, 40 * s), (48 * s, 34 * s), (57 * s, 44 * s), (48 * s, 54 * s), (48 * s, 48 * s), (41 * s, 48 * s)], fill=(255, 255, 255, 255))
    return im

def hand_cursor():
    im = Image.new("RGBA", (32, 32), (0, 0, 0, 0))
    d = ImageDraw.Draw(im)
    outline, fill = (0, 0, 0, 255), (255, 255, 255, 255)
    d.rounded_rectangle([4, 0, 9, 18], 2, fill=fill, outline=outline)          # index finger
    for x, top in [(9, 9), (14, 10), (19, 12)]:
        d.rounded_rectangle([x, top, x + 5, 20], 2, fill=fill, outline=outline)  # other fingers
    d.rounded_rectangle([2, 14, 24, 28], 4, fill=fill, outline=outline)        # palm
    d.polygon([(0, 14), (4, 12), (6, 20), (3, 20)], fill=fill, outline=outline)  # thumb
    d.line([5, 16, 23, 16], fill=fill, width=2)
    return im

def drag_picture():
    im = Image.new("RGBA", (32, 32), (0, 0, 0, 0))
    d = ImageDraw.Draw(im)
    d.rectangle([6, 10, 26, 22], fill=(230, 240, 255, 255), outline=(30, 80, 160, 255))
    d.line([9, 16, 23, 16], fill=(30, 80, 160, 255), width=2)
    d.polygon([(16, 1), (11, 7), (21, 7)], fill=(30, 80, 160, 255))
    d.polygon([(16, 31), (11, 25), (21, 25)], fill=(30, 80, 160, 255))
    return im

write_icon(OUT + "/tovanel.ico", [program_icon(n) for n in (16, 32, 48)])
program_icon(256).save(OUT + "/tovanel.png")
write_icon(OUT + "/HAND-M.CUR", [hand_cursor()], cursor_hotspot=(6, 0))
write_icon(OUT + "/drag.ico", [drag_picture()])
# The desktop's icon theme picks the size it needs; small sizes are drawn, not scaled down.
for n in (16, 24, 32, 48, 64, 128):
    os.makedirs(OUT + "/icons/%dx%d" % (n, n), exist_ok=True)
    program_icon(n).save(OUT + "/icons/%dx%d/tovanel.png" % (n, n))
