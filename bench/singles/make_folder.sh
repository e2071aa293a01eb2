#!/bin/bash
# A folder of 200 single-page scans, as archives keep them (one TIFF per page):
#   g4-001..120.tif    A4 at 300 dpi, bilevel, CCITT Group 4, 2480x3508
#   grey-001..040.tif  A4 at 150 dpi, 8-bit grey, LZW, 1240x1754
#   jpeg-001..040.tif  1000x750 RGB, JPEG-in-TIFF (quality 85)
# Text-like strokes on paper, drawn with fixed seeds: two runs give the same files (sha256 at the end).
# Usage: bench/singles/make_folder.sh [OUTDIR]   (default ./bench-singles)
# Needs /usr/bin/python3 with PIL built on libtiff (Debian python3-pil) and the DejaVu fonts.
set -euo pipefail
OUT=${1:-bench-singles}
mkdir -p "$OUT"
/usr/bin/python3 - "$OUT" <<'PYEOF'
import random, sys
from PIL import Image, ImageDraw, ImageFont, ImageFilter, ImageChops

OUT = sys.argv[1]
FONTS = "/usr/share/fonts/truetype/dejavu/"
LETTERS = "eeeeeeeeeeeettttttttaaaaaaaaoooooooiiiiiiinnnnnnnsssssshhhhhhrrrrrrdddlllccuummwwffggyyppbbvkjxqz"

def line(rng, chars):
    out = []
    while sum(len(w) + 1 for w in out) < chars:
        out.append("".join(rng.choice(LETTERS) for _ in range(min(12, int(rng.expovariate(1 / 4.5)) + 1))))
    return " ".join(out)

def page(rng, size, dpi, ink=0, paper=255, mode="L"):
    """A page of paragraphs, headings and rules, drawn at the given resolution."""
    W, H = size
    k = dpi / 300
    body = ImageFont.truetype(FONTS + "DejaVuSerif.ttf", round(40 * k))
    bold = ImageFont.truetype(FONTS + "DejaVuSerif-Bold.ttf", round(56 * k))
    img = Image.new(mode, size, paper)
    d = ImageDraw.Draw(img)
    left, top, bottom = round(280 * k), round(300 * k), H - round(320 * k)
    chars = int((W - 2 * left) / (21 * k))
    y = top
    while y < bottom:
        colour = ink if mode == "L" else tuple(ink[i] + rng.randint(0, 40) for i in range(3))
        if rng.random() < 0.12:
            d.text((left, y + 30 * k), line(rng, rng.randint(10, 40)), font=bold, fill=colour)
            y += round(130 * k)
        elif rng.random() < 0.08:
            d.line((left, y, W - left, y), fill=colour, width=max(1, round(3 * k)))
            y += round(40 * k)
        else:
            for n in range(rng.randint(3, 12)):
                text = line(rng, chars if n else chars - 4)
                d.text((left + (80 * k if n == 0 else 0), y), text[:chars], font=body, fill=colour)
                y += round(54 * k)
            y += round(40 * k)
    return img

def paper_field(rng, mode, size, base, spread):
    """Uneven paper: a tiny random image upsampled smoothly, within base +- spread."""
    w, h = 6, 8
    raw = Image.frombytes(mode, (w, h), rng.randbytes(w * h * len(mode)))
    return raw.point(lambda v: base + (v - 128) * spread // 128).resize(size, Image.BICUBIC)

rng = random.Random(3601)
for i in range(1, 121):
    g = page(rng, (2480, 3508), 300)
    g = g.rotate(rng.uniform(-0.4, 0.4), resample=Image.BICUBIC, fillcolor=255)
    d = ImageDraw.Draw(g)
    for _ in range(rng.randint(50, 300)):                              # dust specks
        x, y, r = rng.uniform(0, 2480), rng.uniform(0, 3508), rng.uniform(0.8, 3)
        d.ellipse((x - r, y - r, x + r, y + r), fill=0)
    bw = g.point(lambda v: 255 if v > 140 else 0).convert("1", dither=Image.NONE)
    bw.save(f"{OUT}/g4-{i:03d}.tif", compression="group4", dpi=(300, 300))

rng = random.Random(3602)
for i in range(1, 41):
    g = page(rng, (1240, 1754), 150).filter(ImageFilter.GaussianBlur(0.6))
    g = g.point(lambda v: 20 + v * 215 // 255)                          # ink ~20, paper ~235
    g = ImageChops.add(g, paper_field(rng, "L", g.size, 128, 6), 1.0, -128)
    g.save(f"{OUT}/grey-{i:03d}.tif", compression="tiff_lzw", dpi=(150, 150))

rng = random.Random(3603)
for i in range(1, 41):
    bg = paper_field(rng, "RGB", (1000, 750), 220, 30)
    c = page(rng, (1000, 750), 120, ink=(rng.randint(0, 80), rng.randint(0, 80), rng.randint(0, 120)), mode="RGB")
    mask = c.convert("L").point(lambda v: 0 if v > 250 else 255)
    bg.paste(c, (0, 0), mask)
    d = ImageDraw.Draw(bg)
    for _ in range(rng.randint(1, 3)):                                  # stamps, boxes
        x, y = rng.randint(0, 800), rng.randint(0, 600)
        d.rectangle((x, y, x + rng.randint(60, 200), y + rng.randint(40, 150)),
                    outline=tuple(rng.randint(0, 255) for _ in range(3)), width=3)
    bg.filter(ImageFilter.GaussianBlur(0.5)).save(f"{OUT}/jpeg-{i:03d}.tif", compression="jpeg", quality=85,
                                                   dpi=(100, 100))
PYEOF
cd "$OUT"
du -ch ./*.tif | tail -1
sha256sum ./*.tif > SHA256SUMS
