"""Pictures as Pillow, zlib and the PNG chunk layout see them.

  bitmap_oracle.py png <file>     PNG facts: "width", "height", "mode",
                                  "bitdepth" and "colourtype" (IHDR), "plte"
                                  (PLTE length), "indexes" (palette indexes
                                  as Pillow decodes them, hex), "rgb" (the
                                  colours, hex), "rows" (the inflated image
                                  data, hex), "adler" (the zlib trailer
                                  equals zlib.adler32 of that data: 1 or 0)
  bitmap_oracle.py bmp <file>     "width", "height", "mode", "rgb" (hex, the
                                  top row first)
  bitmap_oracle.py adler <file>   "adler": zlib.adler32 of the file's bytes
  bitmap_oracle.py grey <raw> W H "grey": Pillow's "L" of raw RGB bytes (hex)
  bitmap_oracle.py quantize <raw> W H
                                  "error": the mean channel difference of
                                  Pillow's quantize(256) of raw RGB bytes

Each fact is printed as "name value" on a line of its own.
"""
import io
import struct
import sys
import zlib

from PIL import Image


def chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature"
    at = 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind = data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert zlib.crc32(kind + body) == crc, "bad CRC in " + kind.decode()
        yield kind, body
        at += 12 + length


def png(path):
    data = open(path, "rb").read()
    idat = b""
    facts = {}
    for kind, body in chunks(data):
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack(">IIBB", body[:10])
            facts.update(width=w, height=h, bitdepth=depth, colourtype=colour)
        elif kind == b"PLTE":
            facts["plte"] = len(body)
        elif kind == b"IDAT":
            idat += body
    raw = zlib.decompress(idat)
    (trailer,) = struct.unpack(">I", idat[-4:])
    facts["adler"] = int(trailer == zlib.adler32(raw))
    facts["rows"] = raw.hex()
    im = Image.open(io.BytesIO(data))
    im.load()
    facts["mode"] = im.mode
    facts["indexes"] = bytes(im.getdata()).hex()
    facts["rgb"] = im.convert("RGB").tobytes().hex()
    return facts


def bmp(path):
    im = Image.open(path)
    im.load()
    return {"width": im.width, "height": im.height, "mode": im.mode,
            "rgb": im.convert("RGB").tobytes().hex()}


def raw_image(path, w, h):
    return Image.frombytes("RGB", (int(w), int(h)), open(path, "rb").read())


def quantize_error(path, w, h):
    im = raw_image(path, w, h)
    q = im.quantize(256).convert("RGB").tobytes()
    o = im.tobytes()
    return {"error": "%.4f" % (sum(abs(a - b) for a, b in zip(o, q)) / len(o))}


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "png":
        facts = png(args[0])
    elif cmd == "bmp":
        facts = bmp(args[0])
    elif cmd == "adler":
        facts = {"adler": zlib.adler32(open(args[0], "rb").read())}
    elif cmd == "grey":
        facts = {"grey": raw_image(*args).convert("L").tobytes().hex()}
    elif cmd == "quantize":
        facts = quantize_error(*args)
    else:
        sys.exit("unknown command " + cmd)
    for name, value in facts.items():
        print(name, value)


main()
