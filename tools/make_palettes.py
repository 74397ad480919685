#!/usr/bin/env python3
"""Writes the shipped palettes: def.pal and palettes/*.pal (768 bytes each).

Entry 0 colours the inside of the set and is black. Pixel values 1 to 255
repeat with escape counts modulo 255, so every gradient is periodic with a
period that divides 255; palette cycling then has no seam.

Usage: tools/make_palettes.py [ROOT]   (ROOT defaults to the repository root)
"""
import math
import os
import sys


def gradient(stops, period):
    """Entries 1..255 from colour stops (position 0..1, (r, g, b)) repeated every
    `period` entries, with smooth (cosine) blending between stops."""
    stops = sorted(stops) + [(1.0, sorted(stops)[0][1])]
    entries = [(0, 0, 0)]
    for index in range(1, 256):
        t = ((index - 1) % period) / period
        for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
            if t0 <= t < t1:
                f = (1 - math.cos(math.pi * (t - t0) / (t1 - t0))) / 2
                entries.append(tuple(round(a + (b - a) * f) for a, b in zip(c0, c1)))
                break
    return entries


PALETTES = {
    # Deep blue through white to gold and back: the classic look.
    "def.pal": gradient([(0.0, (0, 7, 100)), (0.16, (32, 107, 203)), (0.42, (237, 255, 255)),
                         (0.6425, (255, 170, 0)), (0.8575, (60, 20, 0))], 51),
    "palettes/fire.pal": gradient([(0.0, (20, 0, 0)), (0.3, (200, 30, 0)), (0.55, (255, 150, 0)),
                                   (0.75, (255, 240, 120)), (0.85, (255, 255, 255))], 85),
    "palettes/ocean.pal": gradient([(0.0, (0, 10, 40)), (0.35, (0, 90, 140)),
                                    (0.6, (60, 200, 200)), (0.8, (230, 255, 250))], 51),
    "palettes/grey.pal": gradient([(0.0, (30, 30, 30)), (0.5, (240, 240, 240))], 17),
}


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    root = os.path.normpath(root)
    for name, entries in PALETTES.items():
        assert len(entries) == 256 and entries[0] == (0, 0, 0)
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        with open(path, "wb") as out:
            out.write(bytes(v for rgb in entries for v in rgb))
        print(path)


if __name__ == "__main__":
    main()
