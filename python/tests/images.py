"""Small test pictures written with the standard library alone, and the
sides of a PNG or JPEG read back from its header."""

import struct
import zlib


def pattern(width, height, alpha=255):
    """RGBA rows with a little texture, so encoders have work to do."""
    return [bytes(v for x in range(width)
                  for v in ((x * 37 + y * 11) % 256, (x * y) % 256, (x + 3 * y) % 256, alpha))
            for y in range(height)]


def png_chunk(kind, data):
    """One PNG chunk: length, type, data and CRC."""
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def write_png(path, width, height, alpha=255):
    raw = b"".join(b"\0" + row for row in pattern(width, height, alpha))
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n"
                  + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
                  + png_chunk(b"IDAT", zlib.compress(raw)) + png_chunk(b"IEND", b""))


def write_bmp(path, width, height):
    pad = (-width * 3) % 4
    rows = b"".join(b"".join(bytes((px[2], px[1], px[0])) for px in zip(*[iter(row)] * 4))
                    + b"\0" * pad for row in reversed(pattern(width, height)))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(rows), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    with open(path, "wb") as out:
        out.write(header + info + rows)


def png_sides(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG: %r" % path
    return struct.unpack(">II", head[16:24])


def jpeg_sides(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data[:2] == b"\xff\xd8", "not a JPEG: %r" % path
    i = 2
    while i + 9 < len(data):
        marker, length = data[i + 1], struct.unpack(">H", data[i + 2:i + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            height, width = struct.unpack(">HH", data[i + 5:i + 9])
            return width, height
        i += 2 + length
    raise AssertionError("no frame header in %r" % path)
