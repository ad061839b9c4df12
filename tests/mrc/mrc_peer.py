"""Reference reader and writer for the libMRC tests, built on mrcfile.

Run with Debian's /usr/bin/python3 (it has python3-mrcfile):
  mrc_peer.py validate FILE...       exit 0 when mrcfile.validate passes for all
  mrc_peer.py dump OUTDIR FILE...    OUTDIR/<i>.f32 voxels as little-endian
                                     float32 (mode 0 taken as unsigned) and
                                     OUTDIR/<i>.txt header facts and labels
  mrc_peer.py write OUTDIR           m<mode>_<le|be>.mrc for modes 0, 1, 2, 6
                                     with their voxels in m<mode>_<le|be>.f32
"""
import os
import sys

import mrcfile
import numpy as np


def validate(paths):
    ok = True
    for p in paths:
        if not mrcfile.validate(p, print_file=sys.stdout):
            ok = False
    return 0 if ok else 1


def dump(outdir, paths):
    for i, p in enumerate(paths):
        with mrcfile.open(p, permissive=True) as m:
            h = m.header
            data = np.asarray(m.data)
            if int(h.mode) == 0:
                data = data.view(np.uint8)
            data.astype('<f4').tofile(os.path.join(outdir, '%d.f32' % i))
            with open(os.path.join(outdir, '%d.txt' % i), 'w') as f:
                f.write('mode %d\n' % int(h.mode))
                f.write('shape %d %d %d\n' % (int(h.nx), int(h.ny), int(h.nz)))
                for name in ('dmin', 'dmax', 'dmean', 'rms'):
                    f.write('%s %.9g\n' % (name, float(getattr(h, name))))
                f.write('datamean %.12g\n' % float(data.astype(np.float64).mean()))
                f.write('datastd %.12g\n' % float(data.astype(np.float64).std()))
                n = int(h.nlabl)
                f.write('nlabl %d\n' % n)
                for j in range(min(n, 10)):
                    f.write('label %s\n' % bytes(h.label[j]).ljust(80, b'\0').hex())
    return 0


def write(outdir):
    rng = np.random.default_rng(20140)
    shape = (3, 5, 7)  # nz, ny, nx
    kinds = {0: (np.int8, -128, 128), 1: (np.int16, -32768, 32768),
             2: (np.float32, None, None), 6: (np.uint16, 0, 65536)}
    for mode, (dtype, lo, hi) in kinds.items():
        if dtype is np.float32:
            vals = rng.normal(0.0, 1000.0, shape).astype(np.float32)
        else:
            vals = rng.integers(lo, hi, shape).astype(dtype)
            vals.flat[0] = lo
            vals.flat[1] = hi - 1
        for end, code in (('le', '<'), ('be', '>')):
            name = os.path.join(outdir, 'm%d_%s' % (mode, end))
            with mrcfile.new(name + '.mrc', overwrite=True) as m:
                m.set_data(vals.astype(vals.dtype.newbyteorder(code)))
            truth = vals.view(np.uint8) if mode == 0 else vals
            truth.astype('<f4').tofile(name + '.f32')
    return 0


def main(argv):
    if len(argv) >= 2 and argv[1] == 'validate':
        return validate(argv[2:])
    if len(argv) >= 3 and argv[1] == 'dump':
        return dump(argv[2], argv[3:])
    if len(argv) == 3 and argv[1] == 'write':
        return write(argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
