#!/usr/bin/env python3
"""Copies, counts and connections of the printer application's jobs, end to end.

copies:  every format the application takes asks the printer for the job's copies (or sends
         the pages again), never for 0; the job counts what the printer was sent.
sockets: a socket printer gets each job on a connection of its own; a printer that never
         reads, or drops its connection, or a client that sends half a job, ends that job
         and the next job prints.
geometry: every paper gives the same page in both front ends.

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
            # Copies are collated unless the job asks otherwise, whatever the document's length.
            cases.append((kind + "-2", kind, format, pages, 2, [(a.TAG_INTEGER, "copies", 2)], True))
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


class SocketPrinter:
    """A socket printer on loopback: connection i is handled as behaviours[i] says ("read":
    to the end; "stall": takes nothing until released; an int: takes that many bytes, then
    resets the connection); later ones are read. Each connection's bytes are kept."""

    def __init__(self, behaviours=()):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.behaviours = list(behaviours)
        self.received, self.accepted = {}, 0
        self.released = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def uri(self):
        return "socket://127.0.0.1:%d" % self.port

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            number = self.accepted
            self.accepted += 1
            behaviour = self.behaviours[number] if number < len(self.behaviours) else "read"
            threading.Thread(target=self.take, args=(connection, number, behaviour), daemon=True).start()

    def take(self, connection, number, behaviour):
        got = bytearray()
        with connection:
            if behaviour == "stall":
                self.released.wait(a.JOB_TIMEOUT)
            connection.settimeout(a.JOB_TIMEOUT)
            while True:
                try:
                    data = connection.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                got += data
                if isinstance(behaviour, int) and len(got) >= behaviour:
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    break
        self.received[number] = bytes(got)

    def wait_connections(self, count, what):
        deadline = time.monotonic() + a.JOB_TIMEOUT
        while len(self.received) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        check(len(self.received) >= count, "%s: %d connection(s) ended, not %d" % (what, len(self.received), count))

    def close(self):
        self.released.set()
        self.listener.close()


def noise_stream(work):
    """A printer stream of random pages, far larger than a socket's buffers hold."""
    raster, stream = os.path.join(work, "noise.pwg"), os.path.join(work, "noise.gdi")
    a.write_pwg(raster, [a.PwgPage(WIDTH, HEIGHT, lambda y: os.urandom(WIDTH)) for _ in range(2)])
    a.run_filter(raster, 1, "", stream)
    os.remove(raster)
    return stream


def decodes_alone(work, data, what):
    """The bytes of one connection are one whole job."""
    path = os.path.join(work, what + ".gdi")
    with open(path, "wb") as f:
        f.write(data)
    listing, _ = g.decode(g.env_path("GDI_DECODE"), path, os.path.join(work, what + "-pages"))
    check(listing.count("GDIJ job header") == 1, "%s: not one job on the connection" % what)


def case_sockets(work):
    """Back-to-back jobs, a printer that stops reading, a client that stops sending, and a
    printer that drops the connection."""
    stream_format = "application/vnd.gdi-laser-stream"

    def body(server):
        png = os.path.join(work, "small.png")
        a.write_png(png, 200, 200)
        noise = noise_stream(work)

        # Two jobs queued at once: one connection each, each a whole job.
        printer = SocketPrinter()
        try:
            server.add_printer("net", DRIVER, printer.uri())
            jobs = [server.print_job("net", png, "image/png", name="job%d" % i) for i in range(2)]
            for job in jobs:
                state = server.wait_job("net", job)
                check(state["state"] == "completed", "back to back: job %d ended %s" % (job, state["state"]))
            printer.wait_connections(2, "back to back")
            for number, data in sorted(printer.received.items()):
                decodes_alone(work, data, "connection-%d" % number)
            # The day's capture of the printer's port: both jobs, each checked.
            capture = os.path.join(work, "capture.gdi")
            with open(capture, "wb") as f:
                f.write(b"".join(data for _, data in sorted(printer.received.items())))
            listing, pages = g.decode(g.env_path("GDI_DECODE"), capture, os.path.join(work, "capture-pages"))
            check("2 job(s)" in listing and len(pages) == 2, "the capture of two jobs: %s"
                  % listing.splitlines()[-1])
        finally:
            printer.close()

        # A printer that takes nothing: cancel ends the job, whose connection ends with it,
        # and the next job prints on a connection of its own.
        printer = SocketPrinter(["stall"])
        try:
            server.add_printer("stalls", DRIVER, printer.uri())
            job = server.print_job("stalls", noise, stream_format, name="stalled")
            server.wait_state("stalls", job, "processing")
            server.cancel_job("stalls", job)
            state = server.wait_job("stalls", job)
            check(state["state"] == "canceled", "stalled printer: the job ended %s" % state["state"])
            printer.released.set()
            printer.wait_connections(1, "stalled printer")
            state = server.wait_job("stalls", server.print_job("stalls", png, "image/png", name="after"))
            check(state["state"] == "completed", "after a stalled job: the next ended %s" % state["state"])
            printer.wait_connections(2, "after a stalled job")
            decodes_alone(work, printer.received[1], "after-stall")
        finally:
            printer.close()

        # A client that sends half a streamed job and stops: cancel ends the job, and the
        # printer prints the next.
        server.add_printer("file", DRIVER)
        raster = os.path.join(work, "two.pwg")
        a.write_pwg(raster, [a.PwgPage(WIDTH, HEIGHT, a.test_card_line(WIDTH, HEIGHT, i)) for i in range(2)])
        with open(raster, "rb") as f:
            request = a.encode_request(a.OP_PRINT_JOB, server.printer_uri("file"),
                                       [(a.TAG_MIME, "document-format", "image/pwg-raster")]) + f.read()
        with socket.create_connection(("127.0.0.1", server.port)) as client:
            client.sendall(b"POST /ipp/print/file HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/ipp\r\n"
                           b"Content-Length: %d\r\n\r\n" % len(request) + request[:len(request) // 3])
            job = 0
            deadline = time.monotonic() + a.JOB_TIMEOUT
            while not job and time.monotonic() < deadline:
                status, values = server.ipp("/ipp/print/file", 0x000A, server.printer_uri("file"),
                                            [(a.TAG_KEYWORD, "requested-attributes", "job-id")])
                job = max(values.get("job-id", [0]))
            server.wait_state("file", job, "processing")
            server.cancel_job("file", job)
            state = server.wait_job("file", job)
            check(state["state"] == "canceled", "half a job: it ended %s" % state["state"])
        state = server.wait_job("file", server.print_job("file", png, "image/png", name="after-half"))
        check(state["state"] == "completed", "after half a job: the next ended %s" % state["state"])

        # A printer that drops the connection mid-job: that job fails, the one queued behind
        # it prints.
        printer = SocketPrinter([100000])
        try:
            server.add_printer("drops", DRIVER, printer.uri())
            first = server.print_job("drops", noise, stream_format, name="dropped")
            second = server.print_job("drops", png, "image/png", name="behind")
            state = server.wait_job("drops", first)
            check(state["state"] == "aborted", "dropped connection: the job ended %s" % state["state"])
            state = server.wait_job("drops", second)
            check(state["state"] == "completed", "the job behind a dropped connection ended %s (%s)"
                  % (state["state"], state.get("job-state-message")))
            printer.wait_connections(2, "dropped connection")
            decodes_alone(work, printer.received[1], "after-drop")
        finally:
            printer.close()
    a.with_server(work, body)


def ppd_papers():
    """(keyword, width, height in points) of every paper the PPDs offer (both list the same)."""
    with open(os.path.join(g.env_path("GDI_SOURCE_DIR"), "ppd", "gdilsr1.ppd"), encoding="utf-8") as f:
        return [(m.group(1), int(m.group(2)), int(m.group(3)))
                for m in re.finditer(r'^\*PaperDimension ([^/]+)/[^:]*: "(\d+) (\d+)"', f.read(), re.M)]


def app_media_names():
    """The application's media name of each paper keyword (its paper table)."""
    with open(os.path.join(g.env_path("GDI_SOURCE_DIR"), "printerapp", "ModelTable.cpp"), encoding="utf-8") as f:
        return dict(re.findall(r'\{"([^"]+)", "([a-z]+_[^"]+)", \d+, \d+\}', f.read()))


# Papers the PPDs describe otherwise than the application's media of that name: Ledger and
# Double Postcard lie landscape in the PPDs; their Folio has Foolscap's size.
DIFFERENT_PAPERS = ("Ledger", "DoublePostcard", "Folio")


def page_headers(path):
    """(size code, width, height, bands, paper size in micrometres) of each page of a stream."""
    listing = g.run([g.env_path("GDI_DECODE"), path], what="gdidecode").stdout.decode()
    return [tuple(int(v) for v in m.groups()) for m in re.finditer(
        r"GDIP page \d+  size=(\d+) .*width=(\d+) height=(\d+) bands=(\d+) .*paper=(\d+)x(\d+) um", listing)]


def case_geometry(work):
    """Every paper of the PPDs: a picture printed through the application and a document printed
    through cupsfilter and the filter give pages of one size in dots, one band layout and one
    paper size."""
    cupsfilter = shutil.which("cupsfilter") or "/usr/sbin/cupsfilter"
    if not os.access(cupsfilter, os.X_OK) or not shutil.which("gs"):
        raise g.Skip("cupsfilter or Ghostscript is not installed (packages cups, ghostscript)")
    ppd = os.path.join(g.env_path("GDI_SOURCE_DIR"), "ppd", "gdilsr1.ppd")
    document = os.path.join(g.env_path("GDI_SOURCE_DIR"), "tests", "data", "frame.ps")

    def body(server):
        server.add_printer("one", DRIVER)
        png = os.path.join(work, "small.png")
        a.write_png(png, 60, 80)
        faults = []
        names = app_media_names()
        for keyword, width, height in ppd_papers():
            if keyword in DIFFERENT_PAPERS:
                continue
            raster, stream = os.path.join(work, keyword + ".ras"), os.path.join(work, keyword + "-filter.gdi")
            with open(raster, "wb") as out:
                g.run([cupsfilter, "-p", ppd, "-m", "application/vnd.cups-raster", "-o", "PageSize=" + keyword,
                       document], stdout=out, env=dict(os.environ, PPD=ppd), what="cupsfilter")
            a.run_filter(raster, 1, "PageSize=" + keyword, stream)
            media = [(a.TAG_BEGIN_COLLECTION, "media-col", [[(a.TAG_KEYWORD, "media-size-name", names[keyword])]])]
            job = server.print_job("one", png, "image/png", media, name=keyword)
            state = server.wait_job("one", job)
            if state["state"] != "completed":
                faults.append("%s: the application's job ended %s" % (keyword, state["state"]))
                continue
            app = page_headers(server.take_output("one", os.path.join(work, keyword + "-app.gdi")))
            filtered = page_headers(stream)
            if app[:1] != filtered[:1]:
                faults.append("%s (%dx%d pt): application %s, filter %s (size, width, height, bands, paper)"
                              % (keyword, width, height, app[:1], filtered[:1]))
        check(not faults, "\n".join(faults))
    a.with_server(work, body)


CASES = {"copies": case_copies, "sockets": case_sockets, "geometry": case_geometry}

if __name__ == "__main__":
    sys.exit(g.main(CASES, sys.argv))
