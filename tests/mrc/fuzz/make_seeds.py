"""Writes a small seed corpus of valid MRC files for the fuzz target.

Usage: make_seeds.py OUTDIR. Plain Python, no third-party modules.
"""
import os
import struct
import sys

BYTES = {0: 1, 1: 2, 2: 4, 6: 2}


def mrc(nx, ny, nz, mode, order='<', ext=b'', labels=1):
    words = [0] * 56
    words[0:4] = [nx, ny, nz, mode]
    words[7:10] = [nx, ny, nz]
    words[16:19] = [1, 2, 3]
    words[23] = len(ext)
    words[55] = labels
    head = b''.join(struct.pack(order + 'i', w) for w in words)
    text = b''.join(b'seed label %d'.ljust(80) % i for i in range(labels))
    head += text.ljust(800, b'\0')
    count = nx * ny * nz
    code = {0: 'B', 1: 'h', 2: 'f', 6: 'H'}[mode]
    vals = [(i * 37) % 200 for i in range(count)]
    data = struct.pack(order + code * count, *vals)
    return head + ext + data


def main(outdir):
    os.makedirs(outdir, exist_ok=True)
    seeds = []
    for mode in (0, 1, 2, 6):
        for order in ('<', '>'):
            seeds.append(mrc(5, 4, 3, mode, order))
    seeds.append(mrc(3, 9, 2, 2, '<', ext=b'E' * 12))
    seeds.append(mrc(1, 1, 1, 1, '>', labels=0))
    seeds.append(mrc(8, 8, 8, 0, '<', labels=10))
    for i, s in enumerate(seeds):
        with open(os.path.join(outdir, 'seed_%02d.mrc' % i), 'wb') as f:
            f.write(s)


if __name__ == '__main__':
    main(sys.argv[1])
