"""Draws the exception box's pictures as PNG files (32-bit with alpha):

  KEIBIG.png            32 x 32, the box's big picture (a red disc, a white
                        exclamation mark)
  kei<button>.png       16 x 16, the icons of the box's buttons: send (an
                        envelope), save (a disk), print (a printer), show (a
                        page with lines), continue (a green arrow head),
                        restart (a turning arrow), close (a red cross)
  keicantContinue.png   16 x 16, a grey arrow head struck through

  python3 draw_box_pictures.py [FOLDER]

Each picture is a list of shapes drawn over each other, each pixel sampled
8 x 8 times for smooth edges. Only zlib and struct: no image library.
"""
import math
import os
import struct
import sys
import zlib


def png(path, size, pixels):
    """Writes size x size RGBA pixels (rows of (r, g, b, a)) as a PNG."""
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in pixels)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def render(size, shapes, samples=8):
    """shapes: (inside(x, y) -> bool, (r, g, b, a)) drawn in order; x and y in
    pixel units, 0..size."""
    out = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(samples):
                for sx in range(samples):
                    x = px + (sx + 0.5) / samples
                    y = py + (sy + 0.5) / samples
                    c = [0.0, 0.0, 0.0, 0.0]
                    for inside, (r, g, b, a) in shapes:
                        if inside(x, y):
                            k = a / 255.0
                            c = [r * k + c[0] * (1 - k), g * k + c[1] * (1 - k),
                                 b * k + c[2] * (1 - k), 255 * k + c[3] * (1 - k)]
                    acc = [s + v for s, v in zip(acc, c)]
            n = samples * samples
            a = acc[3] / n
            if a < 0.5:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(min(255, round(v / n * 255 / a)) for v in acc[:3]) +
                           (round(a),))
        out.append(row)
    return out


# --- Shapes -------------------------------------------------------------------------

def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r0, r1, a0=0.0, a1=360.0):
    """The ring between the radii, from angle a0 to a1 (degrees, clockwise
    from the right, y down)."""
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        if not r0 <= d <= r1:
            return False
        a = math.degrees(math.atan2(y - cy, x - cx)) % 360
        return a0 <= a <= a1 if a0 <= a1 else a >= a0 or a <= a1
    return inside


def polygon(points):
    def inside(x, y):
        c = False
        n = len(points)
        for i in range(n):
            (x0, y0), (x1, y1) = points[i], points[(i + 1) % n]
            if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
                c = not c
        return c
    return inside


def line(x0, y0, x1, y1, width):
    """A stroke of the given width between two points, round ends."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= width / 2
    return inside


def outlined(shape_outer, shape_inner, edge, face):
    return [(shape_outer, edge), (shape_inner, face)]


DARK = (40, 40, 48, 255)
WHITE = (255, 255, 255, 255)


def big():
    return [(disc(16, 16, 15), (150, 20, 20, 255)), (disc(16, 16, 14), (214, 44, 38, 255)),
            (rect(14, 6, 18, 20), WHITE), (disc(16, 24.5, 2.3), WHITE)]


def send():
    body = [(rect(1, 3, 15, 13), DARK), (rect(2, 4, 14, 12), (250, 246, 228, 255))]
    flap = [(line(2, 4.5, 8, 9, 1.2), DARK), (line(8, 9, 14, 4.5, 1.2), DARK)]
    return body + flap


def save():
    return [(rect(1, 1, 15, 15), (20, 40, 110, 255)), (rect(2, 2, 14, 14), (52, 96, 200, 255)),
            (rect(4, 2, 12, 7), (240, 240, 240, 255)), (rect(5, 10, 11, 14), (30, 30, 40, 255)),
            (rect(9, 11, 10, 13), (200, 200, 200, 255))]


def print_():
    return [(rect(4, 1, 12, 7), DARK), (rect(5, 2, 11, 7), WHITE),
            (rect(1, 6, 15, 12), DARK), (rect(2, 7, 14, 11), (170, 170, 180, 255)),
            (rect(11, 8, 13, 9), (60, 200, 60, 255)),
            (rect(4, 10, 12, 15), DARK), (rect(5, 10, 11, 14), WHITE),
            (rect(6, 11, 10, 12), (120, 120, 120, 255))]


def show():
    shapes = [(rect(3, 1, 13, 15), DARK), (rect(4, 2, 12, 14), WHITE)]
    for y in (4, 6, 8, 10, 12):
        shapes.append((rect(5, y, 11 if y != 12 else 9, y + 1), (70, 90, 160, 255)))
    return shapes


def arrow_head(colour, edge):
    return [(polygon([(3, 1.5), (14, 8), (3, 14.5)]), edge),
            (polygon([(4.2, 3.6), (12.2, 8), (4.2, 12.4)]), colour)]


def continue_():
    return arrow_head((60, 180, 60, 255), (20, 100, 20, 255))


def restart():
    return [(ring(8, 8.5, 3.6, 6.4, 330, 250), (20, 100, 150, 255)),
            (ring(8, 8.5, 4.4, 5.6, 335, 245), (60, 160, 220, 255)),
            (polygon([(6.0, 0.5), (11.2, 3.3), (6.0, 6.6)]), (20, 100, 150, 255))]


def close():
    red, edge = (220, 40, 40, 255), (130, 10, 10, 255)
    return [(line(3.5, 3.5, 12.5, 12.5, 4.2), edge), (line(12.5, 3.5, 3.5, 12.5, 4.2), edge),
            (line(3.5, 3.5, 12.5, 12.5, 2.4), red), (line(12.5, 3.5, 3.5, 12.5, 2.4), red)]


def cant_continue():
    return arrow_head((170, 170, 170, 255), (110, 110, 110, 255)) + [
        (ring(8, 8, 5.3, 7.3), (200, 30, 30, 255)),
        (line(3.5, 12.5, 12.5, 3.5, 2.0), (200, 30, 30, 255))]


PICTURES = {
    "KEIBIG": (32, big), "keisend": (16, send), "keisave": (16, save),
    "keiprint": (16, print_), "keishow": (16, show), "keicontinue": (16, continue_),
    "keirestart": (16, restart), "keiclose": (16, close),
    "keicantContinue": (16, cant_continue),
}


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, (size, shapes) in PICTURES.items():
        png(os.path.join(folder, name + ".png"), size, render(size, shapes()))


main()
