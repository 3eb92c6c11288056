"""Helpers shared by the end-to-end tests through the real CUPS tools.

They read what gdidecode makes of a printer stream (its listing and the PBM
pages it writes) and measure the pages in millimetres of paper, so that the
tests can say where on the sheet something was printed.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

DPI = 600
SKIP = 77  # the exit status CTest is told to count as "skipped"

# Paper sizes of the shipped PPDs, in points (width, height).
PAPER_POINTS = {"A4": (595, 842), "Letter": (612, 792)}


class Failure(Exception):
    """A check that did not hold; the message says what was expected."""


class Skip(Exception):
    """The test cannot run here (not root, a tool missing); the message says why."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def mm_to_dots(mm):
    return mm * DPI / 25.4


def dots_to_mm(dots):
    return dots * 25.4 / DPI


def points_to_dots(points):
    return points * DPI / 72.0


def env_path(name):
    """A path handed to the test by CMake through the environment."""
    value = os.environ.get(name)
    if not value:
        raise Failure("%s is not set; run this test through ctest" % name)
    return value


def emulated(args):
    """The command line for args, through the emulator when the filter, gdidecode and the
    printer application were built for another processor (GDI_TEST_EMULATOR, set by
    CMake)."""
    emulator = os.environ.get("GDI_TEST_EMULATOR", "").split()
    ours = [os.environ.get(name) for name in ("GDI_FILTER", "GDI_DECODE", "GDI_PRINTER_APP")]
    if not emulator or args[0] not in ours:
        return list(args)
    if os.path.basename(emulator[0]).startswith("qemu-"):
        emulator += ["-0", args[0]]  # the program sees the same argv[0]
    return emulator + list(args)


def run(args, stdin=None, stdout=None, env=None, what=None):
    """Runs a program (ours through the emulator, if any); on a non-zero exit raises
    with its standard error."""
    result = subprocess.run(emulated(args), stdin=stdin, stdout=stdout if stdout else subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, timeout=300)
    if result.returncode != 0:
        err = result.stderr.decode("utf-8", "replace")
        raise Failure("%s exited with %d:\n%s" % (what or args[0], result.returncode, err[-4000:]))
    return result


# --- gdidecode ------------------------------------------------------------------

PAGE_RE = re.compile(r"GDIP page (\d+) .*width=(\d+) height=(\d+) .*flags=0x([0-9A-Fa-f]+) "
                     r"\(([^)]*)\) paper=(\d+)x(\d+) um")


class Page:
    """One page header record as gdidecode lists it."""

    def __init__(self, match):
        self.number = int(match.group(1))
        self.width = int(match.group(2))      # aligned width, dots
        self.height = int(match.group(3))     # lines
        self.flags = int(match.group(4), 16)
        self.kind = match.group(5)            # e.g. "simplex", "duplex-even blank"
        self.paper_um = (int(match.group(6)), int(match.group(7)))

    def __repr__(self):
        return "page %d (%s) %dx%d" % (self.number, self.kind, self.width, self.height)


def decode(decoder, stream_path, out_dir):
    """Checks and decodes a stream with gdidecode; returns (listing, pages in stream order)."""
    os.makedirs(out_dir, exist_ok=True)
    result = run([decoder, "--no-png", "-d", out_dir, stream_path], what="gdidecode")
    listing = result.stdout.decode("utf-8", "replace")
    lines = listing.splitlines()
    check(lines and lines[-1].startswith("stream OK") and "every band decoded" in lines[-1],
          "gdidecode did not accept the stream:\n" + "\n".join(lines[-5:]))
    check(any("JIDG job end" in line for line in lines), "the stream has no job end marker")
    pages = [Page(m) for m in (PAGE_RE.search(line) for line in lines) if m]
    return listing, pages


class Bitmap:
    """A decoded page: rows of packed bits, most significant bit leftmost, 1 = black."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        match = re.match(rb"P4\s+(\d+)\s+(\d+)\s", data)
        check(match is not None, "%s is not a binary PBM file" % path)
        self.width, self.height = int(match.group(1)), int(match.group(2))
        self.row_bytes = (self.width + 7) // 8
        body = data[match.end():]
        check(len(body) == self.row_bytes * self.height, "%s is cut short" % path)
        self.rows = [body[i * self.row_bytes:(i + 1) * self.row_bytes] for i in range(self.height)]

    def ink_box(self):
        """(left, top, right, bottom) of all black dots, inclusive; None for a blank page."""
        top = bottom = None
        left, right = self.width, -1
        for y, row in enumerate(self.rows):
            stripped = row.lstrip(b"\0")
            if not stripped:
                continue
            if top is None:
                top = y
            bottom = y
            first = len(row) - len(stripped)
            left = min(left, first * 8 + 8 - row[first].bit_length())
            last = len(row.rstrip(b"\0")) - 1
            low = row[last] & -row[last]
            right = max(right, last * 8 + 8 - low.bit_length())
        if top is None:
            return None
        return left, top, right, bottom

    def coverage(self, x0, y0, x1, y1):
        """Share of black dots in the rectangle [x0, x1) x [y0, y1) of dots."""
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.width, int(x1)), min(self.height, int(y1))
        check(x1 > x0 and y1 > y0, "empty measuring rectangle")
        b0, b1 = x0 // 8, (x1 + 7) // 8
        shift = b1 * 8 - x1
        mask = ((1 << (x1 - x0)) - 1) << shift
        black = 0
        for y in range(y0, y1):
            value = int.from_bytes(self.rows[y][b0:b1], "big") & mask
            black += bin(value).count("1")
        return black / float((x1 - x0) * (y1 - y0))

    def coverage_mm(self, x_mm, y_mm, w_mm, h_mm):
        """Coverage of a rectangle given in millimetres from the top left corner of the page."""
        return self.coverage(mm_to_dots(x_mm), mm_to_dots(y_mm),
                             mm_to_dots(x_mm + w_mm), mm_to_dots(y_mm + h_mm))


# --- page geometry ----------------------------------------------------------------

def check_page_size(page, bitmap, paper_points, what):
    """The page is the paper at 600 dpi: width aligned up to 128 dots, height the paper's."""
    width_dots = points_to_dots(paper_points[0])
    height_dots = points_to_dots(paper_points[1])
    aligned = -(-int(round(width_dots)) // 128) * 128
    check(page.width == aligned,
          "%s: page width %d, expected %d (%.1f dots of paper aligned up to 128)"
          % (what, page.width, aligned, width_dots))
    check(abs(page.height - height_dots) <= 2,
          "%s: page height %d lines, expected %.1f" % (what, page.height, height_dots))
    for got, want, name in ((page.paper_um[0], paper_points[0], "width"),
                            (page.paper_um[1], paper_points[1], "height")):
        check(abs(got - want * 25400 / 72.0) <= 1000,
              "%s: paper %s in the page header %d um, expected %.0f"
              % (what, name, got, want * 25400 / 72.0))
    check((bitmap.width, bitmap.height) == (page.width, page.height),
          "%s: decoded page is %dx%d, its header says %dx%d"
          % (what, bitmap.width, bitmap.height, page.width, page.height))


def edge_distances_mm(bitmap, paper_points):
    """Distances in mm from the ink to the left, top, right and bottom edges of the paper."""
    box = bitmap.ink_box()
    check(box is not None, "the page is blank")
    left, top, right, bottom = box
    width_dots = points_to_dots(paper_points[0])
    height_dots = points_to_dots(paper_points[1])
    return (dots_to_mm(left), dots_to_mm(top),
            dots_to_mm(width_dots - (right + 1)), dots_to_mm(height_dots - (bottom + 1)))


def check_frame(bitmap, paper_points, what, inset_mm=20.0, tolerance_mm=1.0):
    """The outer edge of the frame (the page's outermost ink) lies inset_mm from each edge."""
    distances = edge_distances_mm(bitmap, paper_points)
    names = ("left", "top", "right", "bottom")
    for name, distance in zip(names, distances):
        check(abs(distance - inset_mm) <= tolerance_mm,
              "%s: frame %.2f mm from the %s edge, expected %.1f +- %.1f mm (all: %s)"
              % (what, distance, name, inset_mm, tolerance_mm,
                 ", ".join("%s %.2f" % p for p in zip(names, distances))))
    print("%s: frame at %s mm from the edges" % (what, ", ".join("%s %.2f" % p for p in zip(names, distances))))
    return distances


def check_marks(bitmap, marks, what):
    """marks: ((x_mm, y_mm), black) pairs; a 3 mm square around each point is all black or all white."""
    for (x, y), black in marks:
        share = bitmap.coverage_mm(x - 1.5, y - 1.5, 3.0, 3.0)
        if black:
            check(share > 0.98, "%s: expected black at %.1f, %.1f mm, found %.0f %% black"
                  % (what, x, y, 100 * share))
        else:
            check(share < 0.02, "%s: expected white at %.1f, %.1f mm, found %.0f %% black"
                  % (what, x, y, 100 * share))


# --- running cases ----------------------------------------------------------------

def main(cases, argv):
    """Runs the case named on the command line in a fresh temporary folder."""
    if len(argv) != 2 or argv[1] not in cases:
        sys.stderr.write("usage: %s CASE\ncases: %s\n" % (argv[0], " ".join(sorted(cases))))
        return 2
    # A test stopped from outside still stops its daemon and removes its folders.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit("stopped by SIGTERM"))
    work = tempfile.mkdtemp(prefix="gdi-%s-" % argv[1])
    try:
        cases[argv[1]](work)
    except Skip as reason:
        print("SKIPPED: %s" % reason)
        return SKIP
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("passed")
    return 0
