"""Screen pictures of a guest: QMP's PPM read, compared by pixels, kept as PNG.

    p = Picture.read_ppm(path); p.pixel(x, y) -> (r, g, b); p.write_png(path)
    p.changed_share(other, tolerance) -> share of pixels that differ
"""

import struct
import zlib


def close(colour, other, tolerance):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, other))


class Picture:
    def __init__(self, width, height, rgb):
        if len(rgb) != width * height * 3:
            raise ValueError("%d bytes for a %dx%d picture" % (len(rgb), width, height))
        self.width, self.height, self.rgb = width, height, rgb

    @classmethod
    def read_ppm(cls, path):
        """A binary PPM (P6, 8 bits), as QEMU's screendump writes it."""
        with open(path, "rb") as f:
            data = f.read()
        fields, pos = [], 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos) + 1
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise ValueError("%s is not an 8-bit binary PPM" % path)
        width, height = int(fields[1]), int(fields[2])
        start = pos + 1  # one white space after the maximum value
        return cls(width, height, data[start:start + width * height * 3])

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def samples(self):
        """Points on the desktop away from the top bar and the screen's edges."""
        return [(self.width * fx // 8, self.height * fy // 8)
                for fx, fy in ((4, 4), (2, 3), (6, 3), (2, 6), (6, 6))]

    def changed_share(self, other, tolerance=8):
        """The share of pixels whose colour differs by more than tolerance in a channel."""
        if (self.width, self.height) != (other.width, other.height):
            return 1.0
        changed = 0
        a, b = self.rgb, other.rgb
        # Every 7th pixel is enough for a share and keeps this fast in Python.
        step = 7 * 3
        total = 0
        for i in range(0, len(a) - 2, step):
            total += 1
            if (abs(a[i] - b[i]) > tolerance or abs(a[i + 1] - b[i + 1]) > tolerance
                    or abs(a[i + 2] - b[i + 2]) > tolerance):
                changed += 1
        return changed / total

    def write_png(self, path):
        """8-bit RGB PNG, no interlace."""
        row = self.width * 3
        raw = b"".join(b"\0" + self.rgb[y * row:(y + 1) * row] for y in range(self.height))

        def chunk(kind, body):
            return (struct.pack(">I", len(body)) + kind + body
                    + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n"
                    + chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0,
                                                 0, 0))
                    + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
        return path
