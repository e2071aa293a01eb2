#!/usr/bin/python3
"""Makes the sample TIFF files shipped in resources/Samples (run by hand; outputs are committed).

Four files, each showing one kind of TIFF the converter meets in practice:
  letter_3_pages_g4.tif   three letter-size pages, bilevel, CCITT Group 4, 300 dpi, text
  landscape_jpeg.tif      a colour photograph-like scene, JPEG-compressed RGB
  microscope_16bit.tif    16-bit greyscale, Deflate with a predictor
  chart_palette.tif       a 16-colour palette image, LZW
Everything is drawn here from a fixed seed, so a rerun gives the same pictures.
"""
import array, math, os, random, subprocess, sys, tempfile
from PIL import Image, ImageDraw, ImageFilter, ImageFont

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "Samples")
FONTS = "/usr/share/fonts/truetype/dejavu/"


def font(name, size):
    return ImageFont.truetype(FONTS + name, size)


WORDS = ("the of and to in a is that for it as was with be by on not he this are or his from at which but "
         "have an they you were her she there been one all we their has would when if so no what can more "
         "out up into them some could time these two may then do first any my now such like our over man me "
         "even most made after also did many before must through back years where much your way well down "
         "should because each just those people how too little state good very make world still own see men "
         "work long get here between both life being under never day same another know while last might us "
         "great old year off come since against go came right used take three paper files pages folder scan "
         "archive batch office report invoice letter copy print order customer record page image").split()


def sentence(rng):
    n = rng.randint(7, 18)
    words = [rng.choice(WORDS) for _ in range(n)]
    words[0] = words[0].capitalize()
    if n > 10 and rng.random() < 0.5:
        words[rng.randint(3, n - 4)] += ","
    return " ".join(words) + rng.choice(".....?")


def wrap(draw, text, fnt, width):
    lines, line = [], ""
    for word in text.split():
        trial = (line + " " + word).strip()
        if draw.textlength(trial, font=fnt) <= width:
            line = trial
        else:
            lines.append(line)
            line = word
    if line:
        lines.append(line)
    return lines


def letter_pages():
    rng = random.Random(1938)
    W, H, margin = 2550, 3300, 300          # US letter at 300 dpi, one-inch margins
    body, bold, small = font("DejaVuSerif.ttf", 46), font("DejaVuSerif-Bold.ttf", 58), font("DejaVuSans.ttf", 36)
    pages = []
    for number in (1, 2, 3):
        page = Image.new("L", (W, H), 255)
        d = ImageDraw.Draw(page)
        y = margin
        if number == 1:
            d.text((margin, y), "Tovanel Sample Office", font=bold, fill=0)
            d.text((margin, y + 80), "12 Harbour Road, Millbrook", font=small, fill=0)
            d.line((margin, y + 140, W - margin, y + 140), fill=0, width=6)
            y += 220
            for text in ("To the reader of this sample", "Three pages, one file", "", "Dear reader,"):
                d.text((margin, y), text, font=body, fill=0)
                y += 62
            y += 40
        else:
            d.text((margin, y), "Tovanel Sample Office, page %d" % number, font=small, fill=0)
            y += 120
        if number == 2:
            # A small ruled table, as forms and invoices have.
            rows, cols = 6, 4
            cw, rh = (W - 2 * margin) // cols, 70
            for r in range(rows + 1):
                d.line((margin, y + r * rh, margin + cols * cw, y + r * rh), fill=0, width=3)
            for c in range(cols + 1):
                d.line((margin + c * cw, y, margin + c * cw, y + rows * rh), fill=0, width=3)
            heads = ("Item", "Pages", "Format", "Result")
            for c in range(cols):
                d.text((margin + c * cw + 16, y + 12), heads[c], font=font("DejaVuSans-Bold.ttf", 38), fill=0)
            for r in range(1, rows):
                cells = ("File %d" % r, str(rng.randint(1, 40)), rng.choice(("G4", "LZW", "JPEG")), "PNG")
                for c in range(cols):
                    d.text((margin + c * cw + 16, y + r * rh + 12), cells[c], font=small, fill=0)
            y += rows * rh + 80
        bottom = H - margin - 120 if number < 3 else H - margin - 700
        while y < bottom:
            paragraph = " ".join(sentence(rng) for _ in range(rng.randint(3, 6)))
            for line in wrap(d, paragraph, body, W - 2 * margin):
                if y >= bottom:
                    break
                d.text((margin, y), line, font=body, fill=0)
                y += 62
            y += 40
        if number == 3:
            y = bottom + 60
            d.text((margin, y), "With kind regards,", font=body, fill=0)
            # A signature: a pen stroke wandering along a baseline.
            pts, x, sy = [], margin + 20, y + 200
            while x < margin + 700:
                pts.append((x, sy + 60 * math.sin(x / 37.0) * math.cos(x / 91.0)))
                x += 6
            d.line(pts, fill=0, width=7)
            d.text((margin, y + 320), "The Tovanel team", font=body, fill=0)
        d.text((W // 2 - 120, H - margin + 60), "Page %d of 3" % number, font=small, fill=0)
        # Stored inverted and declared min-is-white, as fax and scanner software writes its pages.
        pages.append(page.point(lambda v: 0 if v > 140 else 255).convert("1"))
    target = os.path.join(OUT, "letter_3_pages_g4.tif")
    pages[0].save(target, compression="group4", dpi=(300, 300), save_all=True, append_images=pages[1:])
    for directory in range(len(pages)):
        subprocess.run(["tiffset", "-d", str(directory), "-s", "262", "0", target], check=True)


def ridge(rng, width, base, rough, levels=9):
    """Midpoint displacement: a mountain skyline of width+1 heights."""
    n = 2 ** levels
    h = [0.0] * (n + 1)
    h[0], h[n] = base + rng.uniform(-rough, rough), base + rng.uniform(-rough, rough)
    step, amp = n, rough
    while step > 1:
        half = step // 2
        for i in range(half, n, step):
            h[i] = (h[i - half] + h[i + half]) / 2 + rng.uniform(-amp, amp)
        step, amp = half, amp * 0.55
    return [h[int(x * n / width)] for x in range(width + 1)]


def landscape():
    rng = random.Random(47)
    W, H, horizon = 1200, 800, 520
    img = Image.new("RGB", (W, H))
    d = ImageDraw.Draw(img)
    for y in range(horizon):                      # evening sky, deep blue to warm haze
        t = y / horizon
        d.line((0, y, W, y), fill=(int(40 + 200 * t ** 1.6), int(70 + 120 * t ** 1.3), int(140 + 60 * t)))
    glow = Image.new("L", (W, H), 0)
    ImageDraw.Draw(glow).ellipse((800, 110, 960, 270), fill=255)
    glow = glow.filter(ImageFilter.GaussianBlur(60))
    img = Image.composite(Image.new("RGB", (W, H), (255, 226, 170)), img, glow)
    d = ImageDraw.Draw(img)
    d.ellipse((850, 160, 910, 220), fill=(255, 246, 220))
    layers = ((300, 90, (92, 96, 128)), (380, 70, (70, 84, 96)), (450, 50, (46, 66, 58)), (500, 30, (30, 50, 36)))
    for base, rough, colour in layers:
        sky = ridge(rng, W, base, rough)
        d.polygon([(0, horizon)] + [(x, sky[x]) for x in range(0, W + 1, 2)] + [(W, horizon)], fill=colour)
    for _ in range(160):                          # a line of trees at the shore
        x, top = rng.uniform(0, W), horizon - rng.uniform(15, 55)
        d.polygon([(x - 9, horizon), (x, top), (x + 9, horizon)], fill=(22 + rng.randint(0, 15), 40, 28))
    # The lake mirrors the upper picture, darker, broken into ripples.
    mirror = img.crop((0, horizon - (H - horizon), W, horizon)).transpose(Image.FLIP_TOP_BOTTOM)
    lake = Image.new("RGB", (W, H - horizon))
    for y in range(H - horizon):
        shift = int(6 * math.sin(y * 0.9) * (y / (H - horizon)))
        lake.paste(mirror.crop((0, y, W, y + 1)), (shift, y))
    lake = Image.blend(lake, Image.new("RGB", lake.size, (20, 36, 52)), 0.35)
    img.paste(lake, (0, horizon))
    img = img.filter(ImageFilter.GaussianBlur(0.8))
    grain = Image.effect_noise((W, H), 18).convert("RGB")
    img = Image.blend(img, grain, 0.06)
    img.save(os.path.join(OUT, "landscape_jpeg.tif"), compression="jpeg", quality=82, dpi=(150, 150))


def microscope():
    rng = random.Random(1665)
    W, H = 768, 576
    field = array.array("d", [0.0]) * (W * H)
    cx, cy = W / 2, H / 2
    for y in range(H):                            # uneven illumination, brightest in the middle
        for x in range(W):
            field[y * W + x] = 9000 + 5000 * math.exp(-(((x - cx) / 500) ** 2 + ((y - cy) / 400) ** 2))
    for _ in range(55):                           # cells: soft discs with a brighter nucleus
        bx, by, r = rng.uniform(0, W), rng.uniform(0, H), rng.uniform(10, 34)
        amp = rng.uniform(12000, 42000)
        for y in range(max(0, int(by - 3 * r)), min(H, int(by + 3 * r))):
            for x in range(max(0, int(bx - 3 * r)), min(W, int(bx + 3 * r))):
                q = ((x - bx) ** 2 + (y - by) ** 2) / (r * r)
                field[y * W + x] += amp * (math.exp(-q * 1.5) + 0.5 * math.exp(-q * 12))
    out = array.array("H", (min(65535, max(0, int(v + rng.gauss(0, 300)))) for v in field))
    if sys.byteorder != "little":
        out.byteswap()
    img = Image.frombytes("I;16", (W, H), out.tobytes())
    with tempfile.TemporaryDirectory() as tmp:
        plain = os.path.join(tmp, "plain.tif")
        img.save(plain)
        # Deflate with the horizontal predictor, as scanners and microscopes write 16-bit files.
        subprocess.run(["tiffcp", "-c", "zip:2", plain, os.path.join(OUT, "microscope_16bit.tif")], check=True)


def chart():
    W, H = 800, 600
    colours = [(255, 255, 255), (0, 0, 0), (200, 200, 200), (120, 120, 120), (31, 119, 180), (255, 127, 14),
               (44, 160, 44), (214, 39, 40), (148, 103, 189), (140, 86, 75), (227, 119, 194), (188, 189, 34),
               (23, 190, 207), (250, 240, 200), (60, 60, 90), (255, 215, 0)]
    img = Image.new("P", (W, H), 0)
    img.putpalette([c for rgb in colours for c in rgb] + [0] * (3 * (256 - len(colours))))
    d = ImageDraw.Draw(img)
    d.rectangle((0, 0, W, 70), fill=14)
    d.text((30, 14), "Pages converted per month", font=font("DejaVuSans-Bold.ttf", 34), fill=0)
    left, bottom, top = 90, 520, 120
    for i in range(6):                             # grid and axis labels
        y = bottom - i * (bottom - top) // 5
        d.line((left, y, 470, y), fill=2, width=1)
        d.text((20, y - 12), str(i * 200), font=font("DejaVuSans.ttf", 20), fill=3)
    values = (420, 610, 380, 880, 720, 960)
    for i, v in enumerate(values):
        x = left + 15 + i * 62
        d.rectangle((x, bottom - v * (bottom - top) // 1000, x + 44, bottom), fill=4 + i, outline=1)
        d.text((x + 4, bottom + 10), ("Jan", "Feb", "Mar", "Apr", "May", "Jun")[i],
               font=font("DejaVuSans.ttf", 20), fill=1)
    d.line((left, top - 10, left, bottom), fill=1, width=3)
    d.line((left, bottom, 480, bottom), fill=1, width=3)
    shares = (35, 25, 20, 12, 8)                   # a pie of the formats met
    start = -90.0
    for i, share in enumerate(shares):
        end = start + share * 3.6
        d.pieslice((510, 170, 770, 430), start, end, fill=4 + (i * 2) % 10, outline=13)
        start = end
    for i, name in enumerate(("G4", "LZW", "JPEG", "Deflate", "other")):
        d.rectangle((520, 460 + i * 26, 538, 478 + i * 26), fill=4 + (i * 2) % 10)
        d.text((548, 458 + i * 26), name, font=font("DejaVuSans.ttf", 20), fill=1)
    # Pillow writes the 16-bit colour map as value * 256, which decoders that divide by 257 read one step
    # darker; ImageMagick writes value * 257, so every decoder reads back the colours drawn here.
    with tempfile.TemporaryDirectory() as tmp:
        drawn = os.path.join(tmp, "chart.png")
        img.save(drawn)
        subprocess.run(["/usr/bin/convert", drawn, "-type", "Palette", "-depth", "8", "-compress", "LZW",
                        "-units", "PixelsPerInch", "-density", "96", "-strip",
                        os.path.join(OUT, "chart_palette.tif")], check=True)


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    letter_pages()
    landscape()
    microscope()
    chart()
    for name in sorted(os.listdir(OUT)):
        print("%-24s %8d bytes" % (name, os.path.getsize(os.path.join(OUT, name))))
