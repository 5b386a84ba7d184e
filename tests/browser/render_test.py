#!/usr/bin/env python3
"""A real browser is the judge of whether an output looks like its input.

Each case puts an input, the library's output of it and a control (the same
output with its metadata stripped, or made from the input without its
orientation) side by side in one page, which headless Chromium renders into
one screenshot. Every output must match its input's rendering; every
control must not, which shows the comparison can fail.

Usage: render_test.py PIXTRIM   (exit 77, skipped, without chromium)
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

SKIPPED = 77
CELL = 80                 # each picture sits at the top left of a cell this big
WIDTH, HEIGHT = 64, 40    # stored size: not square, so a wrong turn shows
PROFILES = "/usr/share/color/icc/colord"

# A lossless output shows the very pixels of its input: both renderings go
# through the same colour conversion, so only its rounding may differ.
LOSSLESS_MAX_DIFFERENCE = 2
# A JPEG output is one more generation (here at quality 95), and the
# browser's JPEG decoder differs from ours in its inverse DCT and chroma
# upsampling. Such pictures keep a PSNR of 45 dB and more; one turned or
# mirrored the wrong way, or shown without its profile, falls below 15 dB,
# so 30 dB separates the two with room on both sides.
JPEG_MIN_PSNR = 30.0


def bmp(width, height, pixel):
    """A 24-bit bottom-up BMP whose pixel (x, y) is pixel(x, y) as (r, g, b)."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        rows.append(bytes(row) + bytes(stride - len(row)))
    data = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54) + info + data


def photo(x, y):
    """Smooth gradients, a red block at the top left and a blue one at the bottom."""
    if x < 12 and y < 10:
        return 220, 30, 30
    if 40 <= x < 60 and y >= 30:
        return 30, 40, 210
    return 40 + x * 3, 60 + y * 4, 200 - x - y


def segment(marker, payload):
    return bytes((0xFF, marker)) + struct.pack(">H", len(payload) + 2) + payload


def exif(orientation):
    tiff = b"MM\x00\x2a" + struct.pack(">IH", 8, 1)
    tiff += struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0) + bytes(4)
    return segment(0xE1, b"Exif\x00\x00" + tiff)


def icc_segments(profile, piece=65519):
    count = (len(profile) + piece - 1) // piece
    return b"".join(segment(0xE2, b"ICC_PROFILE\x00" + bytes((i + 1, count)) +
                            profile[i * piece:(i + 1) * piece]) for i in range(count))


def jpeg_segments(jpeg):
    """(marker, whole segment) up to the first scan, and the rest of the file."""
    at, parts = 2, []
    while jpeg[at + 1] != 0xDA:
        length = struct.unpack(">H", jpeg[at + 2:at + 4])[0]
        parts.append((jpeg[at + 1], jpeg[at:at + 2 + length]))
        at += 2 + length
    return parts, jpeg[at:]


def jpeg_with(jpeg, segments):
    return jpeg[:2] + segments + jpeg[2:]


def jpeg_without(jpeg, marker):
    parts, rest = jpeg_segments(jpeg)
    return jpeg[:2] + b"".join(whole for m, whole in parts if m != marker) + rest


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def png_with(png, chunks):
    return png[:33] + chunks + png[33:]


def png_without(png, kind):
    out, at = png[:8], 8
    while at < len(png):
        length = struct.unpack(">I", png[at:at + 4])[0]
        if png[at + 4:at + 8] != kind:
            out += png[at:at + 12 + length]
        at += 12 + length
    return out


def iccp(profile):
    return png_chunk(b"iCCP", b"test profile\x00\x00" + zlib.compress(profile))


def read_bmp(data):
    """Rows of (r, g, b) from a 24-bit BMP, top row first."""
    offset, = struct.unpack("<I", data[10:14])
    width, height = struct.unpack("<ii", data[18:26])
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        row_at = offset + (abs(height) - 1 - y if height > 0 else y) * stride
        row = data[row_at:row_at + width * 3]
        rows.append([(row[i + 2], row[i + 1], row[i]) for i in range(0, len(row), 3)])
    return rows


def compare(shot, a, b, size):
    """Largest channel difference and PSNR of two areas of the screenshot."""
    worst, squares, count = 0, 0, 0
    for dy in range(size[1]):
        for dx in range(size[0]):
            pa, pb = shot[a[1] + dy][a[0] + dx], shot[b[1] + dy][b[0] + dx]
            for ca, cb in zip(pa, pb):
                d = abs(ca - cb)
                worst = max(worst, d)
                squares += d * d
                count += 1
    psnr = math.inf if squares == 0 else 10 * math.log10(255 * 255 * count / squares)
    return worst, psnr


def matches(lossless, worst, psnr):
    return worst <= LOSSLESS_MAX_DIFFERENCE if lossless else psnr >= JPEG_MIN_PSNR


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pixtrim = sys.argv[1]
    chromium = shutil.which("chromium")
    if not chromium:
        print("SKIPPED: chromium is not installed (scripts/setup.sh installs it)")
        return SKIPPED
    swapped = os.path.join(PROFILES, "SwappedRedAndGreen.icc")
    if not os.path.exists(swapped):
        print(f"SKIPPED: {swapped} is missing (Debian's colord-data; scripts/setup.sh installs it)")
        return SKIPPED
    with open(swapped, "rb") as f:
        profile = f.read()

    work = tempfile.mkdtemp(prefix="pixtrim-browser-")
    count = [0]

    def through(data, in_ext, out_ext, *operation):
        count[0] += 1
        src = os.path.join(work, f"in{count[0]}{in_ext}")
        dst = os.path.join(work, f"out{count[0]}{out_ext}")
        with open(src, "wb") as f:
            f.write(data)
        subprocess.run([pixtrim, operation[0], src, dst, *operation[1:]], check=True,
                       stdout=subprocess.DEVNULL)
        with open(dst, "rb") as f:
            return f.read()

    def saved(name, data):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        return os.path.basename(path)

    stored = bmp(WIDTH, HEIGHT, photo)
    jpeg = through(stored, ".bmp", ".jpg", "quality", "92")
    png = through(stored, ".bmp", ".png", "lossless")

    # Each case: name, input, its extension, output, control, output extension, lossless.
    cases = []
    for orientation in range(1, 9):
        shown = (HEIGHT, WIDTH) if orientation >= 5 else (WIDTH, HEIGHT)
        oriented = jpeg_with(jpeg, exif(orientation))
        for ext, operation, lossless in ((".jpg", ("quality", "95"), False),
                                         (".png", ("lossless",), False)):
            output = through(oriented, ".jpg", ext, *operation)
            control = through(jpeg, ".jpg", ext, *operation) if orientation > 1 else None
            cases.append((f"orientation {orientation} to {ext}", oriented, ".jpg", output, control,
                          ext, lossless, shown))
    with_profile = jpeg_with(jpeg, icc_segments(profile))
    out = through(with_profile, ".jpg", ".jpg", "quality", "95")
    cases.append(("JPEG profile to JPEG", with_profile, ".jpg", out, jpeg_without(out, 0xE2), ".jpg",
                  False, (WIDTH, HEIGHT)))
    out = through(with_profile, ".jpg", ".png", "lossless")
    cases.append(("JPEG profile to PNG", with_profile, ".jpg", out, png_without(out, b"iCCP"), ".png",
                  False, (WIDTH, HEIGHT)))
    png_profile = png_with(png, iccp(profile))
    out = through(png_profile, ".png", ".png", "lossless")
    cases.append(("PNG profile to PNG", png_profile, ".png", out, png_without(out, b"iCCP"), ".png",
                  True, (WIDTH, HEIGHT)))
    out = through(png_profile, ".png", ".jpg", "quality", "95")
    cases.append(("PNG profile to JPEG", png_profile, ".png", out, jpeg_without(out, 0xE2), ".jpg",
                  False, (WIDTH, HEIGHT)))
    png_gamma = png_with(png, png_chunk(b"gAMA", struct.pack(">I", 100000)))  # linear
    out = through(png_gamma, ".png", ".png", "lossless")
    cases.append(("PNG gAMA to PNG", png_gamma, ".png", out, png_without(out, b"gAMA"), ".png",
                  True, (WIDTH, HEIGHT)))

    page = ['<!DOCTYPE html><html><body style="margin:0;background:#fff">']
    for row, (name, data, in_ext, output, control, out_ext, _, _) in enumerate(cases):
        pictures = [saved(f"case{row}-input{in_ext}", data), saved(f"case{row}-output{out_ext}", output)]
        if control is not None:
            pictures.append(saved(f"case{row}-control{out_ext}", control))
        for column, picture in enumerate(pictures):
            page.append(f'<img src="{picture}" style="position:absolute;left:{column * CELL}px;'
                        f'top:{row * CELL}px">')
    page.append("</body></html>")
    html = os.path.join(work, "page.html")
    with open(html, "w") as f:
        f.write("\n".join(page))
    screenshot = os.path.join(work, "shot.png")
    subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--force-device-scale-factor=1", "--force-color-profile=srgb",
                    f"--window-size={3 * CELL},{len(cases) * CELL}", "--virtual-time-budget=5000",
                    f"--screenshot={screenshot}", "file://" + html],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Our own decoder reads the screenshot: BMP rows are plain to take apart.
    with open(screenshot, "rb") as f:
        rows = read_bmp(through(f.read(), ".png", ".bmp", "lossless"))

    failures = 0
    for row, (name, _, _, _, control, _, lossless, shown) in enumerate(cases):
        top = row * CELL
        worst, psnr = compare(rows, (0, top), (CELL, top), shown)
        ok = matches(lossless, worst, psnr)
        line = f"{name:26} output: max {worst:3} PSNR {psnr:6.2f} dB {'ok' if ok else 'DIFFERS'}"
        if control is not None:
            worst, psnr = compare(rows, (0, top), (2 * CELL, top), shown)
            caught = not matches(lossless, worst, psnr)
            line += f"; control: max {worst:3} PSNR {psnr:6.2f} dB {'fails' if caught else 'PASSES'}"
            ok = ok and caught
        failures += not ok
        print(line)
    print(f"{len(cases) - failures} passed, {failures} failed")
    if failures:
        print(f"pictures and screenshot kept in {work}")
    else:
        shutil.rmtree(work)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
