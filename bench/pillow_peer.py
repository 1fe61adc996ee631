#!/usr/bin/env python3
"""What a user might write instead: Pillow draws the text of standard input, wrapped at
COLUMNS characters, in its default bitmap font, white on black, and saves a PNG.

    pillow_peer.py COLUMNS OUTPUT < text
"""
import sys

from PIL import Image, ImageDraw, ImageFont

columns, output = int(sys.argv[1]), sys.argv[2]
text = sys.stdin.buffer.read().decode("latin-1")
lines = [line[i:i + columns] for line in text.split("\n")
         for i in range(0, max(len(line), 1), columns)]
font = ImageFont.load_default()
left, top, right, bottom = font.getbbox("M")
cell_w, cell_h = right, bottom + 2
image = Image.new("RGB", (columns * cell_w, len(lines) * cell_h))
draw = ImageDraw.Draw(image)
for row, line in enumerate(lines):
    draw.text((0, row * cell_h), line, font=font, fill=(255, 255, 255))
image.save(output)
