#!/usr/bin/env python3
"""Measures what the brightness and contrast levels do to a printed page.

Prints tests/data/ramp.pdf (patches of 0 %, 10 %, ... 100 % black on white paper) the
way a queue does, once per level: cupsfilter makes CUPS raster for the model 1 PPD,
the built rastertogdi makes the printer stream, gdidecode decodes its page. Then it
prints, per level, the share of black dots on blank paper and inside each patch, as
the Markdown tables of the README.

Usage: scripts/tone-table.py [BUILD_DIR]   (default: build; needs the rastertogdi and
gdidecode targets built, and cupsfilter with ghostscript)
"""

import os
import shutil
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "cups"))
from pdf_raster_test import Job, ramp_coverages  # noqa: E402  (the tests' own job and patches)

PATCHES = range(11)  # 0 % .. 100 % black


def measure(work, option):
    job = Job(work, "ramp.pdf", option, name=option.replace("=", "-"))
    bitmap = job.bitmap(1)
    paper = bitmap.coverage_mm(20, 160, 170, 40)  # below the patches, nothing drawn
    patches = ramp_coverages(bitmap)[1]
    shutil.rmtree(job.dir)
    return paper, patches


def table(work, keyword, labels):
    header = "| %s | paper | %s |" % (keyword, " | ".join("%d %%" % (10 * i) for i in PATCHES))
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    for level, label in enumerate(labels):
        paper, patches = measure(work, "%s=Level%d" % (keyword, level))
        print("| %s | %s | %s |" % (label, percent(paper), " | ".join(percent(c) for c in patches)))
    print()


def percent(share):
    return "%.0f" % (100 * share) if share >= 0.005 or share == 0 else "<1"


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(TOP, "build"))
    os.environ.update(GDI_FILTER=os.path.join(build, "filter", "rastertogdi"),
                      GDI_DECODE=os.path.join(build, "tools", "gdidecode"), GDI_SOURCE_DIR=TOP)
    work = tempfile.mkdtemp(prefix="gdi-tone-")
    try:
        print("Black dots in %, on blank paper and in the 0 % .. 100 % patches of ramp.pdf\n")
        table(work, "PBrightness",
              ["-5 (darkest)", "-4", "-3", "-2", "-1", "0", "+1", "+2", "+3", "+4",
               "+5 (lightest)"])
        table(work, "PContrast",
              ["-5 (lowest)", "-4", "-3", "-2", "-1", "0", "+1", "+2", "+3", "+4",
               "+5 (highest)"])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
