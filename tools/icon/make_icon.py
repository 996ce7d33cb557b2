#!/usr/bin/env python3
"""Draws the program's icon, src/ui/kvx.ico: one 32 x 32 image in the standard
16-colour palette with its transparency mask (744 bytes of image data).  The
picture: a yellow box with a blue arrow pointing into it.  Run by hand when the
picture changes; the .ico is committed."""
import struct, sys

PALETTE = [  # the standard 16 colours, as (r, g, b)
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, OLIVE, NAVY, SILVER, GRAY, YELLOW, BLUE, WHITE, AQUA = 0, 3, 4, 7, 8, 11, 12, 15, 14

def draw():
    img = [[None] * 32 for _ in range(32)]  # None: transparent
    # The box: front face with a darker lid band, black outline.
    for y in range(15, 31):
        for x in range(3, 29):
            edge = y in (15, 30) or x in (3, 28)
            img[y][x] = BLACK if edge else (OLIVE if y < 19 else YELLOW)
    for x in range(4, 28):
        img[19][x] = BLACK
    for y in range(20, 30):  # a highlight on the left of the face
        img[y][4] = WHITE
    # The arrow: shaft and head, navy outline, blue inside, pointing down.
    for y in range(1, 14):
        for x in range(12, 20):
            img[y][x] = NAVY if x in (12, 19) or y == 1 else BLUE
    for i, y in enumerate(range(12, 24)):
        half = 11 - i
        for x in range(16 - half - 1, 16 + half + 1):
            if 0 <= x < 32:
                img[y][x] = NAVY if x in (16 - half - 1, 16 + half) or i == 11 else BLUE
    for y in range(3, 12):
        img[y][14] = AQUA
    return img

def encode(img):
    xor = b''
    mask = b''
    for row in reversed(img):  # bottom-up
        nibbles = [c if c is not None else 0 for c in row]
        xor += bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, 32, 2))
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c is None else 0)
        mask += struct.pack('>I', bits)
    header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + xor + mask
    assert len(image) == 744
    return struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 22) + image

if __name__ == '__main__':
    out = sys.argv[1] if len(sys.argv) > 1 else 'src/ui/kvx.ico'
    with open(out, 'wb') as f:
        f.write(encode(draw()))
