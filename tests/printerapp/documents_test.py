#!/usr/bin/env python3
"""The printer application against documents that would hold it up: damaged or oversized
pictures, PDF renders that never end or talk without end, formats it cannot print, and
raster it cannot print as sent. Every bad document is made here, a few bytes each.

Usage: documents_test.py CASE    (exit 77, "skipped", when a needed tool is missing)
"""

import os
import re
import signal
import struct
import sys
import time
import zlib

import apptest as a
import gdicheck as g
from gdicheck import check

DRIVER = "gdi_laser_1"
# A bad document ends its job within this (a loop would run for ever).
PROMPT = 60


def server_with(work, body, **env):
    server = a.AppServer(work)
    server.env.update(env)
    try:
        server.start()
        server.add_printer("one", DRIVER)
        body(server)
    finally:
        server.stop()


def png(width, height, idat):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", idat) + chunk(b"IEND", b""))


def pdf(content):
    """A one-page PDF whose page draws `content` (compressed)."""
    stream = zlib.compress(content, 9)
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
               b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R >>",
               b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(stream) + stream + b"\nendstream"]
    out, offsets = bytearray(b"%PDF-1.4\n"), []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return bytes(out)


def submit(server, data, format, attrs=()):
    status, values = server.ipp("/ipp/print/one", a.OP_PRINT_JOB, server.printer_uri("one"),
                                [(a.TAG_MIME, "document-format", format)], attrs, data)
    return status, (values.get("job-id") or [None])[0]


def expect_end(server, data, format, state, says, what, attrs=()):
    status, job = submit(server, data, format, attrs)
    check(job is not None, "%s: Print-Job refused with 0x%04x" % (what, status))
    values = server.wait_job("one", job, timeout=PROMPT)
    message = " ".join(values.get("job-state-message", []))
    check(values["state"] == state and says in message,
          "%s: job ended %s (%r), not %s saying %r\n%s" % (what, values["state"], message, state, says,
                                                        server.logs()))
    return values


def peak_memory_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))


def renderers(server_pid):
    """The pids of Ghostscript processes the server started."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/comm" % entry) as f:
                name = f.read().strip()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == server_pid and name == "gs":
            found.append(int(entry))
    return found


def alive(pids):
    """Those of the processes that still run (a zombie has ended)."""
    running = []
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] != "Z":
                    running.append(pid)
        except OSError:
            pass
    return running


def wait_for(condition, what, timeout=PROMPT):
    deadline = time.monotonic() + timeout
    while not condition():
        check(time.monotonic() < deadline, what)
        time.sleep(0.1)


def case_pictures(work):
    """Pictures that claim more than they hold end aborted at once, in bounded memory; a good
    wide one asked for in landscape prints turned, its job header with one copy."""
    jpeg = os.path.join(work, "frame.jpg")
    a.write_jpeg(jpeg, os.path.join(g.env_path("GDI_SOURCE_DIR"), "tests", "data", "frame.ps"))
    with open(jpeg, "rb") as f:
        claims = bytearray(f.read())
    sof = claims.index(b"\xff\xc0")
    claims[sof + 5:sof + 9] = struct.pack(">HH", 16384, 16384)
    wide = os.path.join(work, "wide.png")
    a.write_png(wide, 400, 100)
    with open(wide, "rb") as f:
        wide_png = f.read()

    def body(server):
        before = peak_memory_kb(server.process.pid)
        for what, data, format, says in (
                ("JPEG of 16384 x 16384", bytes(claims), "image/jpeg", "could not be read as a JPEG"),
                ("PNG of 16385 x 1", png(16385, 1, bytes(range(40))), "image/png", "could not be read as a PNG"),
                ("GIF as PNG", b"GIF89a" + bytes(90), "image/png", "no PNG file")):
            expect_end(server, data, format, "aborted", says, what)
        grown = (peak_memory_kb(server.process.pid) - before) // 1024
        check(grown < 100, "the server grew by %d MB reading the pictures" % grown)
        for stream in os.listdir(server.device_folder("one")):
            os.unlink(os.path.join(server.device_folder("one"), stream))

        expect_end(server, wide_png, "image/png", "completed", "Printed 1 page", "wide PNG",
                   [(a.TAG_ENUM, "orientation-requested", 4)])
        stream = server.take_output("one", os.path.join(work, "wide.gdi"))
        listing, pages = g.decode(g.env_path("GDI_DECODE"), stream, os.path.join(work, "wide-pages"))
        check(re.search(r"copies=1\b", listing), "job header of the PNG job:\n" + listing[:300])
        box = g.Bitmap(os.path.join(work, "wide-pages", "page-0001.pbm")).ink_box()
        check(box[3] - box[1] > 2 * (box[2] - box[0]), "the wide picture is not turned: ink at %s" % (box,))
    server_with(work, body)


def case_formats(work):
    """What the printer cannot print is refused at submission; raster it cannot print as sent,
    or damaged after its first page, ends aborted with the reason."""
    def pwg(pages):
        path = os.path.join(work, "doc.pwg")
        a.write_pwg(path, pages)
        with open(path, "rb") as f:
            return bytearray(f.read())
    page = lambda **kw: a.PwgPage(600, 200, lambda y: bytes([128]) * 600, **kw)  # noqa: E731
    damaged = pwg([page(), page()])
    second = damaged.index(b"PwgRaster", 10)
    damaged[second + 372:second + 400] = b"\xff" * 28  # width, height, bits: nonsense
    fine_png = os.path.join(work, "fine.png")
    a.write_png(fine_png, 50, 50)
    with open(fine_png, "rb") as f:
        fine_png = f.read()

    def body(server):
        supported = server.printer_attributes("one")["document-format-supported"]
        check("application/pdf" not in supported, "PDF listed without Ghostscript: %s" % supported)
        for data, format in ((pdf(b""), "application/pdf"), (b"%!PS\nshowpage\n", "application/postscript"),
                             (b"plain words", "application/octet-stream"), (b"plain words", "text/plain")):
            status, job = submit(server, data, format)
            check(status == 0x040A and job is None, "%s: status 0x%04x, job %s" % (format, status, job))
        expect_end(server, fine_png, "application/octet-stream", "completed", "Printed", "PNG as octet-stream")
        raster, stream = os.path.join(work, "small.pwg"), os.path.join(work, "small.gdi")
        a.write_pwg(raster, [page()])
        a.run_filter(raster, 1, "", stream)
        with open(stream, "rb") as f:
            expect_end(server, f.read(), "application/octet-stream", "completed", "", "stream as octet-stream")
        for what, data, says in (
                ("damaged second page", bytes(damaged), "damaged after page 1 of 2"),
                ("1200 dpi", bytes(pwg([a.PwgPage(1200, 400, lambda y: bytes(1200), dpi=1200)])), "1200 x 1200 dpi"),
                ("0xFFFFFFFF dpi", bytes(pwg([page(dpi=0xFFFFFFFF)])), "4294967295 x 4294967295 dpi")):
            expect_end(server, data, "image/pwg-raster", "aborted", says, what)
    server_with(work, body, GDI_GHOSTSCRIPT="/nonexistent/gs")


def case_renders(work):
    """A PDF render is bounded in time and in messages, ends at cancel, at the server's SIGTERM
    and with a killed server."""
    a.tool("gs")
    slow = pdf(b"0 0 m 500 800 l S " * 1000000)  # minutes of work for Ghostscript
    noisy = pdf(b"/F1 12 Tf (x) Tj " * 100000)     # megabytes of complaints

    def body(server):
        for what, data, says in (("{} loop", b"{} loop\n", "not a PDF file"),
                                 ("print loop", b"{ (AAA) print } loop\n", "not a PDF file"),
                                 ("noisy", noisy, "wrote more than 65536 bytes of messages"),
                                 ("slow", slow, "took more than 3 seconds")):
            expect_end(server, data, "application/pdf", "aborted", says, what)
        log_files = [f for f in os.listdir(server.spool) if f.endswith(".log")]
        check(not log_files, "renderer logs left in the spool folder: %s" % log_files)

        pid = server.process.pid
        _, job = submit(server, slow, "application/pdf")
        wait_for(lambda: renderers(pid), "no renderer started for the job")
        server.cancel_job("one", job)
        check(server.wait_job("one", job, timeout=PROMPT)["state"] == "canceled", "the job did not end canceled")
        wait_for(lambda: not renderers(pid), "the renderer outlived its cancelled job")

        submit(server, slow, "application/pdf")
        wait_for(lambda: renderers(pid), "no renderer started for the last job")
        left = renderers(pid)
        server.process.send_signal(signal.SIGTERM)
        server.process.wait(PROMPT)
        check(server.process.returncode == 0, "the server exited with %d" % server.process.returncode)
        check(not alive(left), "the renderer outlived the server")

        server.start()  # and once more, killed
        submit(server, slow, "application/pdf")
        wait_for(lambda: renderers(server.process.pid), "no renderer started after the restart")
        left = renderers(server.process.pid)
        server.process.kill()
        server.process.wait()
        wait_for(lambda: not alive(left), "the renderer outlived the killed server", timeout=10)
    server_with(work, body, GDI_RENDER_PAGE_SECONDS="3", GDI_RENDER_LOG_BYTES="65536")


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(g.main(CASES, sys.argv))
