#!/usr/bin/env python3
"""Copies, counts and connections of the printer application's jobs, end to end.

copies:  every format the application takes asks the printer for the job's copies (or sends
         the pages again), never for 0; the job counts what the printer was sent.
sockets: a socket printer gets each job on a connection of its own; a printer that never
         reads, or drops its connection, ends its job with a reason and the next job prints.

Usage: jobs_whole_test.py CASE    (exit 77, "skipped", when a needed tool is missing)
"""

import os
import re
import shutil
import socket
import struct
import sys
import threading
import time

import apptest as a
import gdicheck as g
from gdicheck import check

DRIVER = "gdi_laser_1"
WIDTH, HEIGHT = 4960, 7016  # A4 at 600 dpi


def write_urf(path, pages, width, height, dpi=600):
    """Apple raster (URF) of 8-bit grey pages, each a function of y giving its lines."""
    out = bytearray(b"UNIRAST\0") + struct.pack(">I", len(pages))
    for line in pages:
        # bits per pixel, colour space (sGray), one-sided, quality, 8 bytes of media, size, dpi
        out += bytes([8, 0, 1, 4]) + bytes(8) + struct.pack(">III", width, height, dpi) + bytes(8)
        y = 0
        while y < height:
            row, repeat = line(y), 0
            while y + repeat + 1 < height and repeat < 255 and line(y + repeat + 1) == row:
                repeat += 1
            out.append(repeat)
            out += a._packbits(row)
            y += repeat + 1
    with open(path, "wb") as f:
        f.write(out)


def job_headers(listing):
    """(copies, mode word) of each job header of a gdidecode listing."""
    return [(int(m.group(1)), int(m.group(2), 16))
            for m in re.finditer(r"GDIJ job header  copies=(\d+) .*mode=0x([0-9A-F]+)", listing)]


def printed(server, work, printer, name, document, format, attrs):
    job = server.print_job(printer, document, format, attrs, name=name)
    state = server.wait_job(printer, job)
    message = " ".join(state.get("job-state-message", []))
    check(state["state"] == "completed", "%s: ended %s (%s)\n%s" % (name, state["state"], message, server.logs()))
    stream = server.take_output(printer, os.path.join(work, name + ".gdi"))
    listing, pages = g.decode(g.env_path("GDI_DECODE"), stream, os.path.join(work, name + "-pages"))
    return state, message, listing, pages


def case_copies(work):
    """copies=2 in each format: what the printer is asked to print is what the job reports."""
    def body(server):
        server.add_printer("one", DRIVER)
        docs = {}
        docs["pwg"] = os.path.join(work, "three.pwg")
        a.write_pwg(docs["pwg"], [a.PwgPage(WIDTH, HEIGHT, a.test_card_line(WIDTH, HEIGHT, i)) for i in range(3)])
        docs["urf"] = os.path.join(work, "two.urf")
        write_urf(docs["urf"], [a.test_card_line(WIDTH, HEIGHT, i) for i in range(2)], WIDTH, HEIGHT)
        docs["png"] = os.path.join(work, "picture.png")
        a.write_png(docs["png"], 300, 400)
        formats = [("pwg", "image/pwg-raster", 3), ("urf", "image/urf", 2), ("png", "image/png", 1)]
        if shutil.which("gs"):
            docs["jpeg"] = os.path.join(work, "frame.jpg")
            a.write_jpeg(docs["jpeg"], os.path.join(g.env_path("GDI_SOURCE_DIR"), "tests", "data", "frame.ps"))
            docs["pdf"] = os.path.join(g.env_path("GDI_SOURCE_DIR"), "tests", "data", "pages3.pdf")
            formats += [("jpeg", "image/jpeg", 1), ("pdf", "application/pdf", 3)]
        uncollated = (a.TAG_KEYWORD, "multiple-document-handling", "separate-documents-uncollated-copies")
        cases = [("pwg-duplex", "pwg", "image/pwg-raster", 3, 1,
                  [(a.TAG_KEYWORD, "sides", "two-sided-long-edge")], False)]
        for kind, format, pages in formats:
            cases.append((kind + "-1", kind, format, pages, 1, (), False))
            cases.append((kind + "-2", kind, format, pages, 2, [(a.TAG_INTEGER, "copies", 2)], pages > 1))
        cases.append(("pwg-2-uncollated", "pwg", "image/pwg-raster", 3, 2,
                      [(a.TAG_INTEGER, "copies", 2), uncollated], False))
        faults = []
        for name, kind, format, doc_pages, copies, attrs, collated in cases:
            state, message, listing, pages = printed(server, work, "one", name, docs[kind], format, attrs)
            headers = job_headers(listing)
            copies_asked = headers[0][0] if headers else 0
            # The printer prints each page it gets as often as the job header asks; a duplex
            # job's blank back side is a page it gets too.
            made = len([p for p in pages if "blank" not in p.kind]) * copies_asked
            asked = len(pages) * copies_asked
            wanted = "Printed %d page%s" % (asked, "" if asked == 1 else "s")
            for fault, what in (
                    (not headers or min(c for c, _ in headers) < 1, "job header copies %s" % headers),
                    (made != doc_pages * copies, "the document printed %d times over, not %d"
                     % (made, doc_pages * copies)),
                    (state["job-impressions-completed"] != [asked], "job-impressions-completed %s, the "
                     "printer was asked for %d" % (state["job-impressions-completed"], asked)),
                    (wanted not in message, "message %r, not %r" % (message, wanted)),
                    (copies_asked > 1 and bool(headers[0][1] & 0x08) != collated,
                     "mode word 0x%04X, collated %s" % (headers[0][1] if headers else 0, collated))):
                if fault:
                    faults.append("%s: %s" % (name, what))
                    break
        check(not faults, "\n".join(faults))
    a.with_server(work, body)


CASES = {"copies": case_copies}

if __name__ == "__main__":
    sys.exit(g.main(CASES, sys.argv))
