#!/usr/bin/env python3
"""Draws the tray program's icon (a label coming out of a printer) and writes it as
a 32-bit ICO with 48, 32 and 16 pixel images. Run it again after changing the art:
    python3 make_icon.py kelo_print_service.ico
"""
import struct
import sys


def coverage(x0, y0, x1, y1, radius, px, py, samples=4):
    """Fraction of pixel (px, py) inside a rounded rectangle, by supersampling."""
    inside = 0
    for sy in range(samples):
        for sx in range(samples):
            x = px + (sx + 0.5) / samples
            y = py + (sy + 0.5) / samples
            if x < x0 or x > x1 or y < y0 or y > y1:
                continue
            cx = min(max(x, x0 + radius), x1 - radius)
            cy = min(max(y, y0 + radius), y1 - radius)
            if (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2:
                inside += 1
    return inside / (samples * samples)


def draw(size):
    s = size / 48.0
    # Shapes in 48-pixel units, painted in order: (rect, radius, (r, g, b)).
    shapes = [
        ((9, 4, 39, 22), 2, (250, 250, 250)),     # label leaving the printer
        ((3, 17, 45, 39), 5, (27, 94, 170)),      # printer body
        ((8, 30, 40, 34), 1, (14, 52, 98)),       # paper slot
        ((10, 33, 38, 45), 1, (255, 255, 255)),   # printed label
        ((37, 21, 41, 25), 2, (120, 220, 120)),   # ready light
    ]
    bars = [13, 15, 16, 19, 21, 22, 24, 27, 28, 30, 33, 34]
    for bx in bars:
        shapes.append(((bx, 36, bx + 1, 43), 0, (20, 20, 20)))

    pixels = [[(0, 0, 0, 0.0)] * size for _ in range(size)]
    for (x0, y0, x1, y1), radius, colour in shapes:
        for py in range(size):
            for px in range(size):
                a = coverage(x0 * s, y0 * s, x1 * s, y1 * s, radius * s, px, py)
                if a <= 0:
                    continue
                r, g, b, da = pixels[py][px]
                out_a = a + da * (1 - a)
                mix = lambda c, d: (c * a + d * da * (1 - a)) / out_a
                pixels[py][px] = (mix(colour[0], r), mix(colour[1], g), mix(colour[2], b), out_a)
    return pixels


def icon_image(size):
    pixels = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((round(b), round(g), round(r), round(a * 255)))
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytes(mask_row * size)  # alpha decides; the mask is all opaque
    return header + bytes(xor) + and_mask


def main(path):
    sizes = [48, 32, 16]
    images = [icon_image(n) for n in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'kelo_print_service.ico')
