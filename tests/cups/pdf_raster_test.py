#!/usr/bin/env python3
"""Real raster from our PDF documents through the filter, checked on the decoded pages.

Each case makes CUPS raster from a PDF in tests/data with cupsfilter and a
shipped PPD (ghostscript and cups-filters do the rendering, as in a queue),
runs rastertogdi on it with the same job options, decodes the printer stream
with gdidecode and measures the pages: their size must be the paper's at
600 dpi and the drawings must lie where the document put them on the paper.

Environment (set by CMake): GDI_FILTER, GDI_DECODE, GDI_SOURCE_DIR.
Usage: pdf_raster_test.py CASE
"""

import os
import shutil
import sys

import gdicheck as g
from gdicheck import check


class Job:
    """One job: PDF -> cupsfilter -> rastertogdi -> gdidecode."""

    def __init__(self, work, pdf, options="", model=1, name="job", via_stdin=False):
        source = g.env_path("GDI_SOURCE_DIR")
        filter_path = g.env_path("GDI_FILTER")
        cupsfilter = shutil.which("cupsfilter") or "/usr/sbin/cupsfilter"
        if not os.access(cupsfilter, os.X_OK):
            raise g.Skip("cupsfilter is not installed (package cups)")
        ppd = os.path.join(source, "ppd", "gdilsr%d.ppd" % model)
        pdf_path = os.path.join(source, "tests", "data", pdf)

        # The filter's spool files go to TMPDIR; a folder of the job's own shows
        # whether any is left behind.
        spool = os.path.join(work, name + "-tmp")
        os.mkdir(spool)
        env = dict(os.environ, TMPDIR=spool, PPD=ppd)

        raster = os.path.join(work, name + ".ras")
        args = [cupsfilter, "-p", ppd, "-m", "application/vnd.cups-raster"]
        for option in options.split():
            args += ["-o", option]
        with open(raster, "wb") as out:
            g.run(args + [pdf_path], stdout=out, env=env, what="cupsfilter")
        check(os.path.getsize(raster) > 0, "cupsfilter made no raster from " + pdf)
        for leftover in os.listdir(spool):  # cupsfilter's own temporary files
            os.remove(os.path.join(spool, leftover))

        # rastertogdi as CUPS starts it: job user title copies options [file].
        self.stream = os.path.join(work, name + ".gdi")
        args = [filter_path, "1", "tester", name, "1", options]
        with open(self.stream, "wb") as out:
            if via_stdin:
                with open(raster, "rb") as inp:
                    g.run(args, stdin=inp, stdout=out, env=env, what="rastertogdi")
            else:
                g.run(args + [raster], stdout=out, env=env, what="rastertogdi")
        os.remove(raster)
        check(os.listdir(spool) == [], "rastertogdi left files in TMPDIR: %s" % os.listdir(spool))

        self.dir = os.path.join(work, name)
        self.listing, self.pages = g.decode(g.env_path("GDI_DECODE"), self.stream, self.dir)

    def bitmap(self, number):
        return g.Bitmap(os.path.join(self.dir, "page-%04d.pbm" % number))


# Marks of frame.ps, in mm from the top left corner of the page as drawn: the
# centre of the 10 mm square in the top left corner and of the 5 mm square in
# the bottom right corner.
def frame_marks(width_mm, height_mm):
    return (32.0, 32.0), (width_mm - 29.5, height_mm - 29.5)


def points_mm(points):
    return points[0] * 25.4 / 72, points[1] * 25.4 / 72


def one_simplex_page(job, what):
    check([p.number for p in job.pages] == [1], "%s: expected one page, got %s" % (what, job.pages))
    check(job.pages[0].kind == "simplex", "%s: page kind %r" % (what, job.pages[0].kind))
    return job.pages[0]


def frame_upright(job, paper, what):
    page = one_simplex_page(job, what)
    bitmap = job.bitmap(1)
    g.check_page_size(page, bitmap, g.PAPER_POINTS[paper], what)
    g.check_frame(bitmap, g.PAPER_POINTS[paper], what)
    big, small = frame_marks(*points_mm(g.PAPER_POINTS[paper]))
    g.check_marks(bitmap, ((big, True), (small, True)), what)


def case_frame_a4(work):
    """A4 on model 1, raster from a file: page size and the frame 20 mm from each edge."""
    frame_upright(Job(work, "frame-a4.pdf"), "A4", "A4")


def case_frame_letter(work):
    """Letter on model 2, raster on standard input."""
    job = Job(work, "frame-letter.pdf", "PageSize=Letter", model=2, via_stdin=True)
    frame_upright(job, "Letter", "Letter")


def case_frame_long_edge(work):
    """A4 fed long edge first: the page comes out turned by 90 degrees.

    The page is A4 turned on its side (297 x 210 mm); the frame is still 20 mm
    from each edge. The raster's top edge becomes the left edge of the page and
    its left edge the bottom (a quarter turn counter-clockwise), so the big mark
    of the top left corner is found at the bottom left.
    """
    job = Job(work, "frame-a4.pdf", "PageSize=A4 LongEdgeIsVertical=True")
    page = one_simplex_page(job, "long edge")
    w, h = g.PAPER_POINTS["A4"]
    bitmap = job.bitmap(1)
    g.check_page_size(page, bitmap, (h, w), "long edge")
    g.check_frame(bitmap, (h, w), "long edge")
    (bx, by), (sx, sy) = frame_marks(*points_mm((w, h)))
    w_mm = points_mm((w, h))[0]
    turned = lambda x, y: (y, w_mm - x)
    g.check_marks(bitmap, ((turned(bx, by), True), (turned(sx, sy), True),
                           ((bx, by), False)), "long edge")


# pages3.pdf: page n has n squares of 15 mm along its top edge; square k
# (k = 0, 1, ...) has its centre 27.5 + 20 k mm from the left and 27.5 mm from
# the top.
def check_page_marks(bitmap, count, turned, what):
    w_mm, h_mm = points_mm(g.PAPER_POINTS["A4"])
    marks = []
    for k in range(4):
        x, y = 27.5 + 20 * k, 27.5
        if turned:
            x, y = w_mm - x, h_mm - y
        marks.append(((x, y), k < count))
    # The other corner holds nothing, whichever way the page went.
    marks.append(((w_mm - 27.5, h_mm - 27.5) if not turned else (27.5, 27.5), False))
    g.check_marks(bitmap, marks, what)


def duplex_job(work, style):
    job = Job(work, "pages3.pdf", "Duplex=" + style)
    numbers = [p.number for p in job.pages]
    check(numbers == [2, 1, 4, 3], "%s: pages in the stream %s, expected 2, 1, 4, 3" % (style, numbers))
    kinds = {p.number: p.kind for p in job.pages}
    check(kinds[4] == "duplex-even blank", "%s: page 4 is %r, expected the blank page" % (style, kinds[4]))
    for page in job.pages:
        g.check_page_size(page, job.bitmap(page.number), g.PAPER_POINTS["A4"],
                          "%s page %d" % (style, page.number))
    check(job.bitmap(4).ink_box() is None, "%s: the appended page 4 is not blank" % style)
    return job


def case_duplex_no_tumble(work):
    """Three pages, long-edge binding: even page first, blank page 4, back sides turned 180 degrees."""
    job = duplex_job(work, "DuplexNoTumble")
    check_page_marks(job.bitmap(1), 1, False, "page 1")
    check_page_marks(job.bitmap(2), 2, True, "page 2")
    check_page_marks(job.bitmap(3), 3, False, "page 3")


def case_duplex_tumble(work):
    """Three pages, short-edge binding: same order, but no page is turned."""
    job = duplex_job(work, "DuplexTumble")
    for n in (1, 2, 3):
        check_page_marks(job.bitmap(n), n, False, "page %d" % n)


def case_text(work):
    """The text page on model 2: the text block lies where the document put it.

    From text.ps: lines start 60 pt from the left edge; the cap height of the
    24 pt bold heading reaches 37.2 pt below the top edge; the descenders of
    the last line (36 pt) end 337.2 pt below it.
    """
    job = Job(work, "text.pdf", model=2)
    page = one_simplex_page(job, "text")
    bitmap = job.bitmap(1)
    g.check_page_size(page, bitmap, g.PAPER_POINTS["A4"], "text")
    left, top, _, bottom = g.edge_distances_mm(bitmap, g.PAPER_POINTS["A4"])
    h_mm = points_mm(g.PAPER_POINTS["A4"])[1]
    for name, got, want in (("left", left, 60), ("top", top, 37.2), ("bottom", h_mm - bottom, 337.2)):
        want_mm = want * 25.4 / 72
        check(abs(got - want_mm) <= 1.0,
              "text: ink %s edge at %.2f mm, expected %.2f +- 1 mm" % (name, got, want_mm))


# ramp.ps: the continuous ramp runs from 20 to 190 mm across, 32.5 to 85.4 mm
# down; patch i (0 % to 100 % black) lies 20 + 15.5 i mm from the left, 14 mm
# wide, 106.5 to 148.9 mm down.
def ramp_coverages(bitmap):
    ramp = [bitmap.coverage_mm(20 + 10 * i + 1, 40, 8, 38) for i in range(17)]
    patches = [bitmap.coverage_mm(20 + 15.5 * i + 2, 110, 10, 35) for i in range(11)]
    return ramp, patches


def case_ramp(work):
    """The grey ramp and patches go from white to black without a step back."""
    job = Job(work, "ramp.pdf")
    one_simplex_page(job, "ramp")
    ramp, patches = ramp_coverages(job.bitmap(1))
    shown = "ramp %s, patches %s" % (["%.2f" % c for c in ramp], ["%.2f" % c for c in patches])
    check(ramp[0] < 0.1 and ramp[-1] > 0.9, "ramp ends are not white and black: " + shown)
    check(all(b >= a - 0.02 for a, b in zip(ramp, ramp[1:])), "ramp gets lighter somewhere: " + shown)
    check(patches[0] < 0.01 and patches[-1] > 0.99, "0 % and 100 % patches: " + shown)
    check(all(b > a for a, b in zip(patches, patches[1:])), "patches not darker step by step: " + shown)


def case_brightness(work):
    """PBrightness from the job options reaches the printed tone: a higher level prints lighter."""
    mid = {}
    for level in ("Level0", "Level5", "Level10"):
        job = Job(work, "ramp.pdf", "PBrightness=" + level, name=level)
        mid[level] = ramp_coverages(job.bitmap(1))[1][5]
        shutil.rmtree(job.dir)
    check(mid["Level10"] + 0.1 < mid["Level5"] < mid["Level0"] - 0.1,
          "50 %% patch coverage by brightness level: %s (Level10 should be the lightest)" % mid)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(g.main(CASES, sys.argv))
