#!/usr/bin/env python3
"""Writes the hand-made inputs of fuzz/regressions/: each one a file shape
that once crashed, hung or misled the decoder, plus a few small valid files
so the replay also walks the success paths. Run it from anywhere; it
rewrites the files in place and leaves inputs saved from fuzzer runs alone."""
import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "regressions")


def segment(marker, payload):
    return bytes([0xFF, marker]) + struct.pack(">H", len(payload) + 2) + payload


def jpeg(width, height, huffman=True, entropy=b"\x3F", progressive=False):
    """A greyscale JPEG: flat quantisation, one-code Huffman tables (DC
    category 0 and end-of-block are both the 1-bit code 0), one byte of scan
    data per 8x8 block. A progressive one holds only the first scan, of the
    DC coefficients."""
    dqt = segment(0xDB, b"\x00" + bytes([1] * 64))
    sof = segment(0xC2 if progressive else 0xC0,
                  struct.pack(">BHHB", 8, height, width, 1) + b"\x01\x11\x00")
    one_code = bytes([1] + [0] * 15) + b"\x00"
    dht = segment(0xC4, b"\x00" + one_code) + segment(0xC4, b"\x10" + one_code)
    spectrum = b"\x00\x00\x00" if progressive else b"\x00\x3F\x00"
    sos = segment(0xDA, b"\x01\x01\x00" + spectrum)
    return b"\xFF\xD8" + dqt + sof + (dht if huffman else b"") + sos + entropy + b"\xFF\xD9"


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def png(width, height, rows, colour_type=2, idat=None):
    ihdr = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    data = zlib.compress(b"".join(b"\x00" + r for r in rows)) if idat is None else idat
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", data) +
            png_chunk(b"IEND", b""))


def bmp(width, height, bits, pixels, palette=b"", header_size=40):
    offset = 14 + header_size + len(palette)
    if header_size == 12:
        info = struct.pack("<IHHHH", 12, width, height, 1, bits)
    else:
        info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(pixels), 2835,
                           2835, 0, 0)
    file_header = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
    return file_header + info + palette + pixels


def files():
    huge = 23170  # 23170 x 23170 is twice the pixel cap
    yield "jpeg-valid-8x8.jpg", jpeg(8, 8)
    yield "jpeg-valid-16x8.jpg", jpeg(16, 8, entropy=b"\x0F")
    # No Huffman tables at all: the decoder once read them from stale heap.
    yield "jpeg-no-huffman-tables.jpg", jpeg(8, 8, huffman=False)
    # 9 bytes whose code counts add up to 510: writes past the decoder's tables.
    yield "jpeg-dht-overflow-9-bytes.jpg", b"\xFF\xD8\xFF\xC4\xFF\xFF\x13\xFF\xFF"
    one_code = bytes([1] + [0] * 15) + b"\x00"
    too_many = b"\x10" + bytes([255, 2] + [0] * 14) + bytes(257)
    yield "jpeg-dht-257-codes.jpg", jpeg(8, 8).replace(
        segment(0xC4, b"\x10" + one_code), segment(0xC4, too_many))
    # The same oversized table after the scan, where progressive files put theirs.
    yield "jpeg-dht-after-scan.jpg", jpeg(8, 8)[:-2] + segment(0xC4, too_many) + b"\xFF\xD9"
    yield "jpeg-146-bytes-23170x23170.jpg", jpeg(huge, huge, entropy=b"\x3F" * 6)
    # Under the pixel cap, but far too small to hold that many blocks: the
    # decoder made up every missing block, for seconds and gigabytes.
    # Zero bits are a valid block, so every block decodes.
    yield "jpeg-146-bytes-4096x4096.jpg", jpeg(4096, 4096, entropy=bytes(6))
    yield "jpeg-146-bytes-11585x11585-progressive.jpg", jpeg(11585, 11585, entropy=bytes(6),
                                                             progressive=True)
    yield "jpeg-cut-in-scan.jpg", jpeg(64, 64, entropy=b"\x3F" * 10)[:-2]
    # The second block's DC needs 15 more bits where the scan ends: the decoder
    # went 15 bits past the end and then shifted by 39 to refill.
    long_dc = bytes([1] + [0] * 14 + [1]) + bytes([0, 15])  # DC 0 is "0", DC 15 a 16-bit code
    long_eob = bytes([0] * 14 + [1, 0]) + b"\x00"  # end-of-block is fifteen 0 bits
    yield "jpeg-scan-ends-inside-a-block.jpg", jpeg(16, 8, entropy=b"\x00\x00\x80\x00").replace(
        segment(0xC4, b"\x00" + one_code), segment(0xC4, b"\x00" + long_dc)).replace(
        segment(0xC4, b"\x10" + one_code), segment(0xC4, b"\x10" + long_eob))
    yield "jpeg-soi-only.jpg", b"\xFF\xD8"

    red, blue = b"\xFF\x00\x00", b"\x00\x00\xFF"
    yield "png-valid-2x2.png", png(2, 2, [red + blue, blue + red])
    yield "png-valid-grey-alpha-3x1.png", png(3, 1, [b"\x10\xFF\x80\x80\xFF\x00"], colour_type=4)
    valid = png(2, 2, [red + blue, blue + red])
    # An IDAT claiming 2 GiB in a 60-byte file: the decoder sized a buffer from it.
    yield "png-idat-claims-2gib.png", valid[:33] + struct.pack(">I", 0x7FFFFFF0) + b"IDAT" + b"\x78"
    yield "png-23170x23170-no-data.png", png(huge, huge, [], idat=b"")
    # Under the pixel cap, with image data that cannot inflate to its rows:
    # the decoder reserved a gigabyte before finding out.
    yield "png-16000x16000-from-74-bytes.png", png(16000, 16000, [], colour_type=6,
                                                   idat=zlib.compress(bytes(1000)))
    yield "png-cut-before-iend.png", valid[:-12]
    yield "png-zero-width.png", png(0, 2, [b"", b""])

    # Metadata that must be dropped quickly and within a few megabytes.
    def with_segments(jpeg_bytes, segments):
        return jpeg_bytes[:2] + segments + jpeg_bytes[2:]

    def with_chunks(png_bytes, chunks):
        return png_bytes[:33] + chunks + png_bytes[33:]

    def exif(ifd_offset, entries=1):
        tiff = b"MM\x00\x2A" + struct.pack(">IH", ifd_offset, entries)
        tiff += struct.pack(">HHIHH", 0x0112, 3, 1, 6, 0) + bytes(4)
        return segment(0xE1, b"Exif\x00\x00" + tiff)

    def icc(sequence, count, piece):
        return segment(0xE2, b"ICC_PROFILE\x00" + bytes([sequence, count]) + piece)

    def iccp(name, profile_stream):
        return png_chunk(b"iCCP", name + b"\x00\x00" + profile_stream)

    small = jpeg(8, 8)
    # An IFD0 at offset 0 reads the TIFF header as its own entries.
    yield "jpeg-exif-ifd-points-at-itself.jpg", with_segments(small, exif(0))
    yield "jpeg-exif-ifd-out-of-range.jpg", with_segments(small, exif(0xFFFFFFF0))
    yield "jpeg-exif-65535-entries.jpg", with_segments(small, exif(8, entries=0xFFFF))
    # 255 profile pieces, numbers repeated and missing.
    piece = bytes(range(100))
    pieces = b"".join(icc(1 + (i * 7) % 200, 255, piece) for i in range(255))
    yield "jpeg-255-icc-segments-repeated-and-missing.jpg", with_segments(small, pieces)
    yield "jpeg-icc-0-byte-profile.jpg", with_segments(small, icc(1, 1, b""))
    yield "jpeg-icc-1-byte-profile.jpg", with_segments(small, icc(1, 1, b"\x01"))
    # 32 KiB of iCCP that inflate to 32 MiB.
    yield "png-iccp-zlib-bomb.png", with_chunks(valid, iccp(b"bomb", zlib.compress(bytes(32 << 20), 9)))
    # A profile that declares 4 GiB in its header.
    claims = struct.pack(">I", 0xFFFFFFFF) + bytes(12) + b"RGB " + bytes(100000)
    yield "png-iccp-claims-4gib.png", with_chunks(valid, iccp(b"big", zlib.compress(claims, 9)))
    yield "png-iccp-0-byte-profile.png", with_chunks(valid, iccp(b"empty", zlib.compress(b"")))
    yield "png-iccp-1-byte-profile.png", with_chunks(valid, iccp(b"one", zlib.compress(b"\x01")))
    yield "png-exif-ifd-points-at-itself.png", with_chunks(valid, png_chunk(b"eXIf", exif(0)[10:]))

    yield "bmp-valid-2x2-24bit.bmp", bmp(2, 2, 24, (b"\x00\x00\xFF\x00\xFF\x00\x00\x00") * 2)
    yield "bmp-valid-top-down-3x2.bmp", bmp(3, -2, 24, (b"\x10\x20\x30" * 3 + b"\x00\x00\x00") * 2)
    grey_palette = b"".join(bytes([v, v, v, 0]) for v in (0, 255))
    yield "bmp-valid-8bit-palette.bmp", bmp(4, 1, 8, b"\x00\x01\x01\x00", grey_palette)
    # A 54-byte file claiming 23170 x 23170: refused by its size alone.
    yield "bmp-54-bytes-23170x23170.bmp", bmp(huge, huge, 24, b"")
    # A 54-byte file claiming 10000 x 10000: the decoder "decoded" it to zeros.
    yield "bmp-54-bytes-10000x10000.bmp", bmp(10000, 10000, 24, b"")
    # Index 200 of a two-colour palette read an uninitialised stack array.
    yield "bmp-index-past-palette.bmp", bmp(4, 1, 8, b"\x00\x01\xC8\x00", grey_palette)
    os2_palette = bytes(range(3 * 6))  # the decoder counts 6 - 4 = 2 entries of an OS/2 palette
    yield "bmp-os2-index-past-counted-palette.bmp", bmp(2, 1, 8, b"\x00\x05\x00\x00",
                                                        os2_palette, header_size=12)
    yield "bmp-zero-width.bmp", bmp(0, 5, 24, b"")
    yield "bmp-header-only.bmp", b"BM" + bytes(12)


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in files():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
