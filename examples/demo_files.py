#!/usr/bin/env python3
"""Helpers of the demo, on the host side:
  demo_files.py snapshot DIR OUT.tsv     size, last-write time (UTC) and SHA-256 of every file below DIR
  demo_files.py changes BEFORE.tsv AFTER.tsv   what changed, one line per file
  demo_files.py png IN.bmp OUT.png       a 24-bit BMP (as the driver saves screens) as PNG
Only the standard library: a fresh machine has nothing else."""
import datetime
import hashlib
import os
import struct
import sys
import zlib


def snapshot(root, out):
    rows = []
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            st = os.stat(path)
            with open(path, 'rb') as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            stamp = datetime.datetime.fromtimestamp(st.st_mtime, datetime.timezone.utc)
            rows.append((os.path.relpath(path, root), st.st_size,
                         stamp.strftime('%Y-%m-%d %H:%M:%S'), digest))
    with open(out, 'w', encoding='utf-8') as f:
        for row in sorted(rows):
            f.write('%s\t%d\t%s\t%s\n' % row)


def load(path):
    rows = {}
    with open(path, encoding='utf-8') as f:
        for line in f:
            rel, size, stamp, digest = line.rstrip('\n').split('\t')
            rows[rel] = (int(size), stamp, digest)
    return rows


def width(text):
    """Columns a text takes on a terminal: CJK characters take two."""
    import unicodedata
    return sum(2 if unicodedata.east_asian_width(c) in 'WF' else 1 for c in text)


def changes(before_path, after_path):
    before, after = load(before_path), load(after_path)
    rows = [('file', 'before', 'after', '')]
    for rel in sorted(set(before) | set(after)):
        old, new = before.get(rel), after.get(rel)
        if old == new:
            what = 'unchanged'
        elif old is None:
            what = 'new'
        elif new is None:
            what = 'removed'
        elif old[2] == new[2]:
            what = 'content kept, new time'
        else:
            what = 'replaced'
        show = lambda v: '-' if v is None else '%9d  %s' % v[:2]
        rows.append((rel, show(old), show(new), what))
    cols = [max(width(r[i]) for r in rows) for i in range(3)]
    for r in rows:
        print('  ' + '   '.join(c + ' ' * (cols[i] - width(c)) for i, c in enumerate(r[:3])) + '   ' + r[3])
    print('  (sizes in bytes, times UTC)')


def png(bmp_path, png_path):
    data = open(bmp_path, 'rb').read()
    if data[:2] != b'BM':
        sys.exit('%s: not a BMP' % bmp_path)
    offset, = struct.unpack_from('<I', data, 10)
    w, h, _, bits = struct.unpack_from('<iiHH', data, 18)
    if bits != 24:
        sys.exit('%s: %d bits per pixel, expected 24' % (bmp_path, bits))
    stride = (w * 3 + 3) & ~3
    top_down = h < 0
    h = abs(h)
    raw = bytearray()
    for y in range(h):
        row = y if top_down else h - 1 - y
        line = data[offset + row * stride: offset + row * stride + w * 3]
        rgb = bytearray(len(line))
        rgb[0::3], rgb[1::3], rgb[2::3] = line[2::3], line[1::3], line[0::3]  # BGR -> RGB
        raw += b'\0' + rgb
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    with open(png_path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)))
        f.write(chunk(b'IDAT', zlib.compress(bytes(raw), 9)))
        f.write(chunk(b'IEND', b''))


if __name__ == '__main__':
    cmd = sys.argv[1:2]
    if cmd == ['snapshot'] and len(sys.argv) == 4:
        snapshot(sys.argv[2], sys.argv[3])
    elif cmd == ['changes'] and len(sys.argv) == 4:
        changes(sys.argv[2], sys.argv[3])
    elif cmd == ['png'] and len(sys.argv) == 4:
        png(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
