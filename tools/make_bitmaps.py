#!/usr/bin/env python3
"""Draws the bitmaps that the prompt window loads from the library's resources.

    python3 tools/make_bitmaps.py           rewrite res/BMP_BG_LEFT.bmp, BMP_BG_RIGHT.bmp,
                                            BITMAP_BUTTON.bmp
    python3 tools/make_bitmaps.py --check   verify the files in res/ without writing them

Standard library only, and deterministic: --check regenerates in memory and compares bytes.
"""

import math
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RES_DIR = os.path.join(ROOT, "res")

BLACK = (0, 0, 0)
WHITE = (255, 255, 255)

# Background bands. The window stretches column 166 of the left picture across its middle and
# ends with the right edge picture, so these rows must line up across all three pieces.
FRAME_LIGHT = (204, 204, 204)
WALL = (99, 126, 196)
DESK = (88, 112, 174)
RIGHT_WALL = (100, 127, 197)
RIGHT_DESK = (89, 113, 175)
WALL_ROWS = range(2, 122)
DESK_ROWS = range(122, 175)
LEFT_W, LEFT_H = 167, 177
RIGHT_W = 4

BUTTON_BG = (95, 112, 175)
BUTTON_BORDER = (0, 63, 112)
BUTTON_DISABLED_FACE = (240, 247, 239)
BUTTON_W, BUTTON_H, CELL_W = 98, 25, 16


# ---------------------------------------------------------------------------------------------
# Drawing toolkit


def clamp(v, lo=0.0, hi=1.0):
    return lo if v < lo else hi if v > hi else v


def lerp(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def gradient(stops, t):
    """Colour at t in [0, 1] along (position, colour) stops sorted by position."""
    t = clamp(t)
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return lerp(c0, c1, 0.0 if p1 == p0 else (t - p0) / (p1 - p0))
    return stops[-1][1]


def shade(c, f):
    """f > 0 brightens towards white, f < 0 darkens towards black."""
    return lerp(c, WHITE, f) if f >= 0 else lerp(c, BLACK, -f)


def rounded_rect_sdf(x0, y0, x1, y1, r):
    """Signed distance to the rectangle [x0, x1] x [y0, y1] (continuous coordinates, pixel
    corners at integers) with corner radius r; negative inside."""
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hw, hh = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def sdf(px, py):
        qx, qy = abs(px - cx) - hw, abs(py - cy) - hh
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r

    return sdf


def ellipse_sdf(cx, cy, rx, ry):
    def sdf(px, py):
        # Scaled distance is good enough for the soft shapes this is used for.
        return (math.hypot((px - cx) / rx, (py - cy) / ry) - 1.0) * min(rx, ry)

    return sdf


def coverage(sdf, x, y):
    """Share of pixel (x, y) inside the shape, from the distance at its centre. Straight edges
    on integer coordinates give exactly 0 or 1."""
    return clamp(0.5 - sdf(x + 0.5, y + 0.5))


class Canvas:
    def __init__(self, w, h, fill=BLACK):
        self.w, self.h = w, h
        self.px = [[fill] * w for _ in range(h)]

    def get(self, x, y):
        return self.px[y][x]

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def blend(self, x, y, c, a):
        if a <= 0.0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        self.px[y][x] = c if a >= 1.0 else lerp(self.px[y][x], c, a)

    def rect(self, x0, y0, x1, y1, c):
        """Fills the inclusive pixel rectangle; c is a colour or a function (x, y) -> colour."""
        for y in range(max(y0, 0), min(y1, self.h - 1) + 1):
            for x in range(max(x0, 0), min(x1, self.w - 1) + 1):
                self.px[y][x] = c(x, y) if callable(c) else c

    def hline(self, x0, x1, y, c):
        self.rect(x0, y, x1, y, c)

    def vline(self, x, y0, y1, c):
        self.rect(x, y0, x, y1, c)

    def shape(self, sdf, box, c, alpha=1.0):
        """Anti-aliased fill of a shape given by its distance function, within the inclusive
        pixel box (x0, y0, x1, y1)."""
        x0, y0, x1, y1 = box
        for y in range(max(y0, 0), min(y1, self.h - 1) + 1):
            for x in range(max(x0, 0), min(x1, self.w - 1) + 1):
                a = coverage(sdf, x, y) * alpha
                if a > 0.0:
                    self.blend(x, y, c(x, y) if callable(c) else c, a)

    def rounded_rect(self, x0, y0, x1, y1, r, c, alpha=1.0):
        """Inclusive pixel corners; c may be a function (x, y) -> colour for gradients."""
        self.shape(rounded_rect_sdf(x0, y0, x1 + 1, y1 + 1, r), (x0, y0, x1, y1), c, alpha)

    def vgradient_rounded(self, x0, y0, x1, y1, r, stops):
        span = float(max(y1 - y0, 1))
        self.rounded_rect(x0, y0, x1, y1, r, lambda x, y: gradient(stops, (y - y0) / span))

    def bevel(self, sdf, box, width, light, dark):
        """Lights the inner rim of a shape from the top left and shades it at the bottom right,
        fading over `width` pixels from the edge."""
        x0, y0, x1, y1 = box
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                cx, cy = x + 0.5, y + 0.5
                d = sdf(cx, cy)
                if d >= 0.5 or d < -width:
                    continue
                nx = sdf(cx + 0.5, cy) - sdf(cx - 0.5, cy)
                ny = sdf(cx, cy + 0.5) - sdf(cx, cy - 0.5)
                facing = (-nx - ny) / math.sqrt(2.0)
                rim = clamp(1.0 + d / width) * clamp(0.5 - d)
                if facing > 0:
                    self.blend(x, y, light, rim * facing)
                else:
                    self.blend(x, y, dark, rim * -facing)

    def stroke(self, points, width, c, alpha=1.0):
        """Anti-aliased polyline of the given width through (x, y) points."""
        def sdf(px, py):
            best = 1e9
            for (ax, ay), (bx, by) in zip(points, points[1:]):
                dx, dy = bx - ax, by - ay
                t = clamp(((px - ax) * dx + (py - ay) * dy) / float(dx * dx + dy * dy))
                best = min(best, math.hypot(px - ax - t * dx, py - ay - t * dy))
            return best - width / 2.0

        xs, ys = [p[0] for p in points], [p[1] for p in points]
        box = (int(min(xs) - width) - 1, int(min(ys) - width) - 1,
               int(max(xs) + width) + 1, int(max(ys) + width) + 1)
        self.shape(sdf, box, c, alpha)

    def soft_shadow(self, sdf, box, blur, strength, c=BLACK):
        x0, y0, x1, y1 = box
        for y in range(max(y0, 0), min(y1, self.h - 1) + 1):
            for x in range(max(x0, 0), min(x1, self.w - 1) + 1):
                d = sdf(x + 0.5, y + 0.5)
                a = strength * clamp(0.5 - d / blur) if d > -blur else strength
                self.blend(x, y, c, a)

    def glyph(self, x, y, rows, c):
        for dy, row in enumerate(rows):
            for dx, ch in enumerate(row):
                if ch == "#":
                    self.set(x + dx, y + dy, c)

    def text(self, x, y, s, c, spacing=1):
        for ch in s:
            rows = FONT[ch]
            self.glyph(x, y, rows, c)
            x += len(rows[0]) + spacing

    def blit(self, src, sx, sy, w, h, dx, dy):
        for y in range(h):
            for x in range(w):
                self.set(dx + x, dy + y, src.get(sx + x, sy + y))


def text_width(s, spacing=1):
    return sum(len(FONT[ch][0]) for ch in s) + spacing * (len(s) - 1)


# 5 x 7 pixel glyphs for the keypad and the reader's display.
FONT = {
    "0": [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
    "1": ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "2": [".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"],
    "3": [".###.", "#...#", "....#", "..##.", "....#", "#...#", ".###."],
    "4": ["...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."],
    "5": ["#####", "#....", "####.", "....#", "....#", "#...#", ".###."],
    "6": ["..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."],
    "7": ["#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."],
    "8": [".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."],
    "9": [".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "I": ["###", ".#.", ".#.", ".#.", ".#.", ".#.", "###"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "K": ["#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    "*": [".....", "..#..", "#.#.#", ".###.", "#.#.#", "..#..", "....."],
    ":": [".", ".", "#", ".", ".", "#", "."],
    "_": [".....", ".....", ".....", ".....", ".....", ".....", "#####"],
}


# ---------------------------------------------------------------------------------------------
# BMP files


def bmp_bytes(canvas, bits):
    """A BITMAPFILEHEADER + BITMAPINFOHEADER file, BI_RGB, bottom-up rows padded to 4 bytes."""
    w, h = canvas.w, canvas.h
    if bits == 24:
        palette = b""
        colours = 0
        stride = (w * 3 + 3) & ~3
        rows = []
        for y in range(h - 1, -1, -1):
            row = bytearray()
            for r, g, b in canvas.px[y]:
                row += bytes((b, g, r))
            rows.append(bytes(row) + b"\0" * (stride - len(row)))
    elif bits == 8:
        entries, index = quantize(canvas, PROTECTED_COLOURS)
        palette = b"".join(bytes((b, g, r, 0)) for r, g, b in entries)
        colours = len(entries)
        stride = (w + 3) & ~3
        rows = [bytes(index[c] for c in canvas.px[y]) + b"\0" * (stride - w)
                for y in range(h - 1, -1, -1)]
    else:
        raise ValueError(bits)
    pixels = b"".join(rows)
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, len(pixels), 2835, 2835, colours, 0)
    head = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return head + info + palette + pixels


# Colours the window relies on exactly; the palette keeps them as they are.
PROTECTED_COLOURS = [BLACK, FRAME_LIGHT, WALL, DESK]


def quantize(canvas, protected, size=256):
    """Median cut over the picture's colours, with the protected colours as fixed entries.
    Returns the palette and a map from every used colour to its palette index."""
    counts = {}
    for row in canvas.px:
        for c in row:
            counts[c] = counts.get(c, 0) + 1

    def squared_error(box):
        weight = sum(counts[c] for c in box)
        err = 0.0
        for k in range(3):
            mean = sum(c[k] * counts[c] for c in box) / weight
            err += sum(counts[c] * (c[k] - mean) ** 2 for c in box)
        return err

    free = sorted(c for c in counts if c not in protected)
    palette = list(protected)
    # Split the box that costs the most error first, across its widest channel.
    boxes = [(squared_error(free), free)] if free else []
    while len(boxes) < size - len(palette):
        i = max(range(len(boxes)), key=lambda j: boxes[j][0])
        _, box = boxes[i]
        if len(box) < 2:
            break
        spans = [max(c[k] for c in box) - min(c[k] for c in box) for k in range(3)]
        axis = spans.index(max(spans))
        box = sorted(box, key=lambda c: (c[axis], c))
        total, acc, cut = sum(counts[c] for c in box), 0, 1
        for j, c in enumerate(box[:-1]):
            acc += counts[c]
            if acc * 2 >= total:
                cut = j + 1
                break
        boxes[i:i + 1] = [(squared_error(part), part) for part in (box[:cut], box[cut:])]
    for _, box in sorted(boxes, key=lambda b: b[1]):
        weight = sum(counts[c] for c in box)
        palette.append(tuple(int(round(sum(c[k] * counts[c] for c in box) / weight))
                             for k in range(3)))
    index = {}
    for c in counts:
        if c in protected:
            index[c] = protected.index(c)
        else:
            index[c] = min(range(len(palette)),
                           key=lambda i: sum((a - b) ** 2 for a, b in zip(c, palette[i])))
    return palette, index


def read_bmp(data):
    """Parses an uncompressed bottom-up BMP: returns (width, height, bits, palette size,
    pixel getter) or raises ValueError."""
    if len(data) < 54 or data[:2] != b"BM":
        raise ValueError("not a BMP file")
    _, size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
    (hsize, w, h, planes, bits, compression, image_size, _, _, used,
     _) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    if hsize != 40 or planes != 1 or compression != 0 or h <= 0:
        raise ValueError("not an uncompressed bottom-up BITMAPINFOHEADER bitmap")
    stride = (w * bits // 8 + 3) & ~3
    if size != len(data) or image_size != stride * h or offset + image_size != len(data):
        raise ValueError("sizes in the headers do not match the file")
    palette = []
    if bits == 8:
        n = used or 256
        palette = [tuple(reversed(data[54 + 4 * i:57 + 4 * i])) for i in range(n)]
        if offset != 54 + 4 * n:
            raise ValueError("palette does not end at the pixel data")
    elif bits != 24:
        raise ValueError("unexpected depth %d" % bits)

    def pixel(x, y):
        base = offset + (h - 1 - y) * stride
        if bits == 8:
            return palette[data[base + x]]
        b, g, r = data[base + 3 * x:base + 3 * x + 3]
        return (r, g, b)

    return w, h, bits, len(palette), pixel


# ---------------------------------------------------------------------------------------------
# BMP_BG_LEFT: the card reader


def background_row(y):
    if y in WALL_ROWS:
        return WALL
    if y in DESK_ROWS:
        return DESK
    return FRAME_LIGHT if y == 1 else BLACK


BODY = (24, 38, 134, 163)  # inclusive pixel box of the reader's front
BODY_R = 13
SLOT_Y = 47
CARD = (46, 9, 112)  # left, top, right; it disappears into the slot


def draw_backdrop(c):
    for y in range(c.h):
        c.hline(0, c.w - 1, y, background_row(y))


def draw_shadows(c):
    x0, y0, x1, y1 = BODY
    # Cast on the wall behind the reader, falling to the lower right.
    wall_shadow = rounded_rect_sdf(x0 + 6, y0 + 5, x1 + 7, y1 + 2, BODY_R)
    c.soft_shadow(wall_shadow, (x0, y0, 150, 121), 6.0, 0.22)
    # On the desk: a broad contact shadow under the base.
    mid = (x0 + x1) / 2.0
    c.soft_shadow(ellipse_sdf(mid + 4, y1 + 1.5, 60, 7.0), (8, 140, 150, 174), 5.0, 0.42)
    c.soft_shadow(ellipse_sdf(mid + 2, y1 + 0.5, 56, 3.5), (8, 150, 150, 174), 2.0, 0.35)
    # The cable leaves the back of the reader and runs off to the left across the desk.
    cable = [(34, 158), (24, 163), (14, 168.5), (6, 170), (-2, 169)]
    c.stroke([(x + 1, y + 2) for x, y in cable], 2.6, lerp(DESK, BLACK, 0.35), 0.6)
    c.stroke(cable, 3.0, (28, 30, 35))
    c.stroke([(x - 0.2, y - 0.8) for x, y in cable], 0.8, (96, 100, 112), 0.9)


def draw_card(c):
    left, top, right = CARD
    bottom = SLOT_Y + 1
    card = rounded_rect_sdf(left, top, right + 1, bottom + 6, 4)
    # Thin shadow of the card on the reader's top face.
    c.soft_shadow(rounded_rect_sdf(left + 2, top + 2, right + 3, bottom + 6, 4),
                  (left, BODY[1], right + 4, bottom), 2.0, 0.35)

    def face(x, y):
        t = (y - top) / float(bottom - top)
        base = gradient([(0.0, (250, 251, 252)), (0.6, (226, 230, 236)), (1.0, (205, 210, 218))], t)
        # A diagonal sheen makes the plastic read as glossy.
        d = (x - left) - (y - top) * 0.9
        if 20 <= d <= 30:
            base = shade(base, 0.35 * math.sin((d - 20) / 10.0 * math.pi))
        return base

    c.shape(card, (left, top, right, bottom), face)
    # The band and patch make it read as a bank card at this size.
    c.rect(left + 1, top + 22, right - 1, top + 28,
           lambda x, y: gradient([(0.0, (214, 76, 36)), (1.0, (238, 150, 40))],
                                 (x - left) / float(right - left)))
    c.hline(left + 1, right - 1, top + 29, (170, 60, 30))
    # A hologram patch.
    c.rounded_rect(right - 18, top + 5, right - 5, top + 15, 2, (158, 164, 182))
    c.rounded_rect(right - 17, top + 6, right - 6, top + 14, 1, lambda x, y: gradient(
        [(0.0, (196, 206, 232)), (0.35, (236, 206, 236)), (0.65, (204, 240, 224)),
         (1.0, (240, 232, 196))], ((x - right + 17) + (y - top - 6)) / 19.0))
    # Bank name and an embossed line.
    for i in range(6):
        c.rect(left + 6 + 5 * i, top + 12, left + 8 + 5 * i, top + 13, (150, 156, 166))
    c.rect(left + 5, top + 5, left + 18, top + 7, (120, 128, 140))
    c.bevel(card, (left, top, right, bottom), 1.5, WHITE, (120, 126, 136))


def draw_body(c):
    x0, y0, x1, y1 = BODY
    # The case is a few pixels deep: its lower side shows under the front.
    c.vgradient_rounded(x0 + 1, y0 + 3, x1 + 1, y1 + 3, BODY_R,
                        [(0.0, (40, 42, 48)), (1.0, (22, 23, 27))])
    front = rounded_rect_sdf(x0, y0, x1 + 1, y1 + 1, BODY_R)
    c.shape(front, BODY, lambda x, y: gradient(
        [(0.0, (92, 96, 106)), (0.15, (74, 78, 88)), (0.7, (56, 59, 67)), (1.0, (44, 46, 53))],
        (y - y0) / float(y1 - y0)))
    c.bevel(front, BODY, 3.0, (168, 172, 182), (18, 19, 22))
    # Keypad panel: a slightly recessed, lighter field.
    box = (x0 + 8, y0 + 44, x1 - 8, y1 - 5)
    panel = rounded_rect_sdf(box[0], box[1], box[2] + 1, box[3] + 1, 6)
    c.shape(panel, box, lambda x, y: gradient(
        [(0.0, (64, 68, 78)), (1.0, (50, 53, 61))], (y - box[1]) / float(box[3] - box[1])))
    c.bevel(panel, box, 1.5, (24, 25, 29), (120, 124, 134))


def draw_slot(c):
    # Drawn after the card so the slot's lips cover the card's inserted end.
    left, right = 36, 122
    c.rounded_rect(left, SLOT_Y - 2, right, SLOT_Y + 2, 2, (30, 31, 36))
    c.rounded_rect(left + 2, SLOT_Y - 1, right - 2, SLOT_Y + 1, 1, (8, 8, 10))
    c.hline(left + 3, right - 3, SLOT_Y + 3, (120, 124, 134))
    c.hline(left + 1, right - 1, SLOT_Y - 3, (46, 48, 55))
    # Power LED beside the slot.
    c.shape(ellipse_sdf(118.5, 41.5, 2.2, 2.2), (115, 38, 122, 45), (80, 230, 90))
    c.set(117, 40, (210, 255, 210))


def draw_display(c):
    x0, y0, x1, y1 = 36, 55, 122, 77
    bezel = rounded_rect_sdf(x0, y0, x1 + 1, y1 + 1, 4)
    c.shape(bezel, (x0, y0, x1, y1), (22, 23, 27))
    c.bevel(bezel, (x0, y0, x1, y1), 1.5, (16, 16, 18), (130, 134, 144))
    lx0, ly0, lx1, ly1 = x0 + 4, y0 + 3, x1 - 4, y1 - 3
    c.rect(lx0, ly0, lx1, ly1, lambda x, y: gradient(
        [(0.0, (176, 198, 152)), (1.0, (146, 170, 124))], (y - ly0) / float(ly1 - ly0)))
    ink = (38, 52, 36)
    ty = ly0 + 5
    c.text(lx0 + 4, ty, "PIN:", ink)
    x = lx0 + 4 + text_width("PIN:") + 6
    for i in range(4):
        c.glyph(x + 7 * i, ty, FONT["*"], ink)
    c.glyph(x + 28, ty, FONT["_"], ink)
    # Glare: without it the glass reads as a flat label.
    for x in range(lx0, lx1 + 1):
        for y in range(ly0, ly1 + 1):
            if x - lx0 > (y - ly0) * 2 + 40 and x - lx0 < (y - ly0) * 2 + 52:
                c.blend(x, y, WHITE, 0.18)
    c.hline(lx0, lx1, ly0, (120, 140, 104))


KEY_COLS = (37, 67, 97)
KEY_ROWS = (87, 104, 121, 138)
KEY_W, KEY_H = 24, 14
KEYPAD = ["123", "456", "789", "X0K"]

KEY_STOPS = {
    "digit": [(0.0, (246, 247, 250)), (0.5, (222, 225, 231)), (1.0, (184, 188, 197))],
    "X": [(0.0, (246, 110, 98)), (0.5, (214, 52, 42)), (1.0, (160, 28, 24))],
    "K": [(0.0, (128, 218, 120)), (0.5, (58, 168, 66)), (1.0, (30, 118, 40))],
}


def draw_key(c, x0, y0, kind, label):
    x1, y1 = x0 + KEY_W - 1, y0 + KEY_H - 1
    # Key travel: a dark skirt under each cap.
    c.rounded_rect(x0, y0 + 1, x1, y1 + 2, 4, (22, 23, 27))
    cap = rounded_rect_sdf(x0, y0, x1 + 1, y1 + 1, 4)
    stops = KEY_STOPS[kind]
    c.shape(cap, (x0, y0, x1, y1), lambda x, y: gradient(stops, (y - y0) / float(KEY_H - 1)))
    c.bevel(cap, (x0, y0, x1, y1), 1.5, WHITE, shade(stops[-1][1], -0.35))
    ink = (44, 46, 54) if kind == "digit" else WHITE
    w = text_width(label)
    c.text(x0 + (KEY_W - w) // 2, y0 + (KEY_H - 7) // 2, label, ink)


def draw_keypad(c):
    for r, row in enumerate(KEYPAD):
        for col, key in enumerate(row):
            kind, label = {"X": ("X", "X"), "K": ("K", "OK")}.get(key, ("digit", key))
            draw_key(c, KEY_COLS[col], KEY_ROWS[r], kind, label)


def draw_frame(c):
    c.hline(0, c.w - 1, 0, BLACK)
    c.vline(0, 0, c.h - 1, BLACK)
    c.hline(0, c.w - 1, 175, BLACK)
    c.hline(0, c.w - 1, 176, BLACK)


def make_left():
    c = Canvas(LEFT_W, LEFT_H)
    draw_backdrop(c)
    draw_shadows(c)
    draw_body(c)
    draw_card(c)
    draw_slot(c)
    draw_display(c)
    draw_keypad(c)
    draw_frame(c)
    return c


# ---------------------------------------------------------------------------------------------
# BMP_BG_RIGHT: the right end of the frame


def make_right():
    c = Canvas(RIGHT_W, LEFT_H, BLACK)
    for y in range(LEFT_H):
        band = (RIGHT_WALL if y in WALL_ROWS else RIGHT_DESK if y in DESK_ROWS
                else FRAME_LIGHT if y == 1 else BLACK)
        c.hline(0, 1, y, band)
    return c


# ---------------------------------------------------------------------------------------------
# BITMAP_BUTTON: six 16 x 25 images and the 2 x 25 focused middle tile

NORMAL, DEFAULT, FOCUSED, PRESSED, HOVER, DISABLED = range(6)

# Inside the border: columns 2..13, rows 2..22. Column 8 is stretched across the button, so
# everything at column 8 may depend on the row only.
FACE_TOP, FACE_BOTTOM = 2, 22
FACE_LEFT, FACE_RIGHT = 2, 13
FOCUS_RECT = (4, 4, 11, 19)
FOCUS_INK = (92, 58, 28)


def face_t(y):
    return (y - FACE_TOP) / float(FACE_BOTTOM - FACE_TOP)


def plain_face(y):
    return gradient([(0.0, (255, 255, 255)), (0.45, (247, 247, 244)), (0.85, (230, 229, 222)),
                     (1.0, (214, 212, 202))], face_t(y))


def blue_frame(x, y, face):
    """Default button: light blue inner frame, deepening to a darker blue along the bottom."""
    t = face_t(y)
    if y == FACE_BOTTOM:
        return (98, 126, 226)
    if y == FACE_BOTTOM - 1:
        return (140, 166, 238)
    if y == FACE_TOP:
        return (204, 228, 255)
    side = gradient([(0.0, (190, 214, 250)), (1.0, (132, 162, 236))], t)
    if x in (FACE_LEFT, FACE_RIGHT):
        return side
    if x in (FACE_LEFT + 1, FACE_RIGHT - 1):
        return lerp(face, side, 0.35)
    if y == FACE_TOP + 1:
        return lerp(face, (204, 228, 255), 0.3)
    return face


def focus_dots(x, y, colour):
    x0, y0, x1, y1 = FOCUS_RECT
    on_edge = ((y in (y0, y1) and x0 <= x <= x1) or (x in (x0, x1) and y0 <= y <= y1))
    # Checkered like the system's focus rectangle: on the straight rows every second column,
    # which the 2-pixel middle tile repeats.
    if on_edge and (x + y) % 2 == 0:
        return FOCUS_INK
    return colour


def orange_frame(x, y, face):
    t = face_t(y)
    frame = gradient([(0.0, (255, 240, 207)), (0.35, (252, 210, 121)), (1.0, (229, 151, 0))], t)
    if y == FACE_BOTTOM:
        return (224, 140, 0)
    if y == FACE_BOTTOM - 1:
        return lerp(face, frame, 0.8)
    if y == FACE_TOP:
        return (255, 240, 207)
    if x in (FACE_LEFT, FACE_RIGHT):
        return frame
    if x in (FACE_LEFT + 1, FACE_RIGHT - 1):
        return lerp(face, frame, 0.45)
    if y == FACE_TOP + 1:
        return lerp(face, (255, 226, 150), 0.35)
    return face


def pressed_face(x, y):
    # Sunken: the light falls from the top left, so the top and left inner edges are in shadow.
    base = gradient([(0.0, (212, 207, 194)), (0.3, (224, 220, 209)), (1.0, (238, 236, 228))],
                    face_t(y))
    if y == FACE_TOP:
        base = shade(base, -0.14)
    elif y == FACE_TOP + 1:
        base = shade(base, -0.06)
    if x == FACE_LEFT:
        base = shade(base, -0.12)
    elif x == FACE_LEFT + 1:
        base = shade(base, -0.05)
    elif x == FACE_RIGHT:
        base = shade(base, 0.25)
    if y == FACE_BOTTOM:
        base = shade(base, 0.3)
    return base


def button_face(state, x, y):
    if state == DISABLED:
        return BUTTON_DISABLED_FACE
    if state == PRESSED:
        return pressed_face(x, y)
    face = plain_face(y)
    if state == NORMAL:
        # A touch of shade at the lower inner rim gives the face some depth.
        if y == FACE_BOTTOM:
            return shade(face, -0.04)
        if x == FACE_RIGHT:
            return shade(face, -0.03)
        return face
    if state == HOVER:
        return orange_frame(x, y, face)
    face = blue_frame(x, y, face)
    return focus_dots(x, y, face) if state == FOCUSED else face


def button_cell(state):
    cell = Canvas(CELL_W, BUTTON_H, BUTTON_BG)
    outer = rounded_rect_sdf(1, 1, CELL_W - 1, BUTTON_H - 1, 3.0)
    inner = rounded_rect_sdf(2, 2, CELL_W - 2, BUTTON_H - 2, 2.0)
    for y in range(BUTTON_H):
        for x in range(CELL_W):
            co, ci = coverage(outer, x, y), coverage(inner, x, y)
            if co <= 0.0:
                continue
            fx = min(max(x, FACE_LEFT), FACE_RIGHT)
            fy = min(max(y, FACE_TOP), FACE_BOTTOM)
            face = button_face(state, fx, fy)
            colour = tuple(int(round(BUTTON_BG[k] * (1 - co) + BUTTON_BORDER[k] * (co - ci)
                                     + face[k] * ci)) for k in range(3))
            cell.set(x, y, colour)
    return cell


def make_button():
    c = Canvas(BUTTON_W, BUTTON_H, BUTTON_BG)
    for state in range(6):
        c.blit(button_cell(state), 0, 0, CELL_W, BUTTON_H, state * CELL_W, 0)
    # The tile is the focused face's columns 8 and 9: laid at even offsets from the end pieces,
    # it keeps the dots of the top and bottom rows in step with the ends.
    focused = button_cell(FOCUSED)
    c.blit(focused, 8, 0, 2, BUTTON_H, 6 * CELL_W, 0)
    return c


# ---------------------------------------------------------------------------------------------
# Output and checks

PICTURES = [
    ("BMP_BG_LEFT.bmp", make_left, 8),
    ("BMP_BG_RIGHT.bmp", make_right, 24),
    ("BITMAP_BUTTON.bmp", make_button, 24),
]


def generate():
    return {name: bmp_bytes(make(), bits) for name, make, bits in PICTURES}


def write_all():
    os.makedirs(RES_DIR, exist_ok=True)
    for name, data in generate().items():
        with open(os.path.join(RES_DIR, name), "wb") as f:
            f.write(data)
        print("wrote res/%s (%d bytes)" % (name, len(data)))


class Checker:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, ok, what):
        print("%s  %s" % ("ok  " if ok else "FAIL", what))
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok


def expect_pixels(chk, what, pixel, spots):
    """spots: list of (x, y, colour). Reports the first mismatch by position and value."""
    for x, y, want in spots:
        got = pixel(x, y)
        if got != want:
            return chk.check(False, "%s: pixel (%d, %d) is %s, expected %s"
                             % (what, x, y, got, want))
    return chk.check(True, what)


def check_all():
    chk = Checker()
    files = {}
    for name, _, _ in PICTURES:
        path = os.path.join(RES_DIR, name)
        try:
            with open(path, "rb") as f:
                data = f.read()
            files[name] = (data, read_bmp(data))
            chk.check(True, "%s: readable uncompressed bitmap with consistent headers" % name)
        except (OSError, ValueError) as e:
            chk.check(False, "%s: %s" % (name, e))

    if "BMP_BG_LEFT.bmp" in files:
        w, h, bits, colours, px = files["BMP_BG_LEFT.bmp"][1]
        chk.check((w, h, bits) == (LEFT_W, LEFT_H, 8) and 0 < colours <= 256,
                  "BMP_BG_LEFT.bmp: %dx%d, %d bpp, %d palette entries (want 167x177, 8 bpp, <= 256)"
                  % (w, h, bits, colours))
        if (w, h) == (LEFT_W, LEFT_H):
            expect_pixels(chk, "BMP_BG_LEFT.bmp: column 166, stretched into the middle band, "
                          "reads black / grey / blue / darker blue / black",
                          px, [(166, y, background_row(y)) for y in range(h)])
            expect_pixels(chk, "BMP_BG_LEFT.bmp: top row black", px,
                          [(x, 0, BLACK) for x in range(w)])
            expect_pixels(chk, "BMP_BG_LEFT.bmp: left column black", px,
                          [(0, y, BLACK) for y in range(h)])
            expect_pixels(chk, "BMP_BG_LEFT.bmp: bottom rows 175 and 176 black", px,
                          [(x, y, BLACK) for y in (175, 176) for x in range(w)])
            # Labels start at x = 165: the columns under them must be the bands themselves.
            expect_pixels(chk, "BMP_BG_LEFT.bmp: columns 158..166 plain background", px,
                          [(x, y, background_row(y)) for x in range(158, 167) for y in range(1, h)])

    if "BMP_BG_RIGHT.bmp" in files:
        w, h, bits, _, px = files["BMP_BG_RIGHT.bmp"][1]
        chk.check((w, h, bits) == (RIGHT_W, LEFT_H, 24),
                  "BMP_BG_RIGHT.bmp: %dx%d, %d bpp (want 4x177, 24 bpp)" % (w, h, bits))
        if (w, h) == (RIGHT_W, LEFT_H):
            def right_band(y):
                return (RIGHT_WALL if y in WALL_ROWS else RIGHT_DESK if y in DESK_ROWS
                        else FRAME_LIGHT if y == 1 else BLACK)

            expect_pixels(chk, "BMP_BG_RIGHT.bmp: columns 0 and 1 continue the middle band", px,
                          [(x, y, right_band(y)) for x in (0, 1) for y in range(h)])
            expect_pixels(chk, "BMP_BG_RIGHT.bmp: columns 2 and 3 black", px,
                          [(x, y, BLACK) for x in (2, 3) for y in range(h)])

    if "BITMAP_BUTTON.bmp" in files:
        w, h, bits, _, px = files["BITMAP_BUTTON.bmp"][1]
        chk.check((w, h, bits) == (BUTTON_W, BUTTON_H, 24),
                  "BITMAP_BUTTON.bmp: %dx%d, %d bpp (want 98x25, 24 bpp)" % (w, h, bits))
        if (w, h) == (BUTTON_W, BUTTON_H):
            # Column 8 of the disabled image is stretched over the middle of a disabled button.
            expect_pixels(chk, "BITMAP_BUTTON.bmp: disabled face (240,247,239) down column 88 "
                          "and across row 12", px,
                          [(88, y, BUTTON_DISABLED_FACE) for y in range(2, 23)]
                          + [(x, 12, BUTTON_DISABLED_FACE) for x in range(82, 94)])
            expect_pixels(chk, "BITMAP_BUTTON.bmp: border (0,63,112) at top, bottom and sides "
                          "of every image", px,
                          [(i * 16 + x, y, BUTTON_BORDER) for i in range(6)
                           for x, y in ((8, 1), (8, 23), (1, 12), (14, 12))])
            expect_pixels(chk, "BITMAP_BUTTON.bmp: margin and corners in background blue "
                          "(95,112,175)", px,
                          [(i * 16 + x, y, BUTTON_BG) for i in range(6)
                           for x, y in ((0, 0), (15, 0), (0, 24), (15, 24), (1, 1), (14, 1),
                                        (1, 23), (14, 23), (8, 0), (8, 24), (0, 12), (15, 12))])
            # The stretched column 8 meets column 7 (left end) and column 9 (right end): without
            # the same colours there the joins would show as seams.
            expect_pixels(chk, "BITMAP_BUTTON.bmp: column 8 of every unfocused image matches "
                          "columns 7 and 9", px,
                          [(i * 16 + 8 + dx, y, px(i * 16 + 8, y)) for i in (0, 1, 3, 4, 5)
                           for dx in (-1, 1) for y in range(h)])
            expect_pixels(chk, "BITMAP_BUTTON.bmp: middle tile repeats columns 40 and 41 of the "
                          "focused image", px,
                          [(96 + dx, y, px(40 + dx, y)) for dx in (0, 1) for y in range(h)])
            expect_pixels(chk, "BITMAP_BUTTON.bmp: middle tile carries one dot in every second "
                          "column on the dotted rows", px,
                          [(96, FOCUS_RECT[1], FOCUS_INK), (97, FOCUS_RECT[3], FOCUS_INK)])
            chk.check(px(97, FOCUS_RECT[1]) != FOCUS_INK and px(96, FOCUS_RECT[3]) != FOCUS_INK,
                      "BITMAP_BUTTON.bmp: middle tile leaves the other column of each dotted "
                      "row undotted")

    expected = generate()
    for name, _, _ in PICTURES:
        got = files.get(name, (None,))[0]
        chk.check(got == expected[name], "%s: generator reproduces the file byte for byte" % name)

    print("%d passed, %d failed" % (chk.passed, chk.failed))
    return 1 if chk.failed else 0


def main(argv):
    if argv[1:] == ["--check"]:
        return check_all()
    if argv[1:]:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    write_all()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
