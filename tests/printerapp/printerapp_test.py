#!/usr/bin/env python3
"""The printer application end to end: gdi-printer-app as a server on a loopback port.

Each case starts its own server (spool folder, state and log in the case's folder),
adds printers of both models with file:// devices, prints documents over IPP (ipptool
with the test files of cups-ipp-utils, and a small IPP client of its own), decodes the
captured printer streams with gdidecode and compares them with what the CUPS filter
makes of the same raster.

Usage: printerapp_test.py CASE    (exit 77, "skipped", when a needed tool is missing)
"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import apptest as a
import gdicheck as g
from gdicheck import check

A4_DOTS = (4960, 7016)  # A4 at 600 dpi, as PWG raster gives it
DRIVERS = {1: "gdi_laser_1", 2: "gdi_laser_2"}


def source(*parts):
    return os.path.join(g.env_path("GDI_SOURCE_DIR"), *parts)


def a4_pages(count, color_space=18, **kw):
    return [a.PwgPage(A4_DOTS[0], A4_DOTS[1], a.test_card_line(A4_DOTS[0], A4_DOTS[1], seed=i),
                      color_space=color_space, **kw) for i in range(count)]


def compare_with_filter(work, server, printer, model, raster, filter_options, name, job_attrs=()):
    """Prints `raster` on `printer`, runs the filter on it, and compares the two streams."""
    job = server.print_job(printer, raster, "image/pwg-raster", job_attrs, name=name)
    state = server.wait_job(printer, job)
    check(state["state"] == "completed", "%s: job ended %s (%s)\n%s"
          % (name, state["state"], state.get("job-state-message"), server.logs()))
    app_stream = server.take_output(printer, os.path.join(work, name + "-app.gdi"))
    filter_stream = os.path.join(work, name + "-filter.gdi")
    a.run_filter(raster, model, filter_options, filter_stream)
    same_streams(app_stream, filter_stream, name)
    _, pages = g.decode(g.env_path("GDI_DECODE"), app_stream, os.path.join(work, name + "-pages"))
    return state, pages


def same_streams(app_stream, filter_stream, what):
    app_bytes, filter_bytes = a.masked_stream(app_stream), a.masked_stream(filter_stream)
    if app_bytes == filter_bytes:
        return
    at = next((i for i, (x, y) in enumerate(zip(app_bytes, filter_bytes)) if x != y),
              min(len(app_bytes), len(filter_bytes)))
    raise g.Failure("%s: the application's stream (%d bytes) differs from the filter's (%d bytes) "
                    "from byte %d on" % (what, len(app_bytes), len(filter_bytes), at))


def ipptool_print(server, printer, document):
    """Prints with ipptool and print-job.test; the job's id."""
    result = g.run([a.tool("ipptool"), "-t", "-f", document, server.printer_uri(printer),
                    "/usr/share/cups/ipptool/print-job.test"], what="ipptool print-job.test")
    text = result.stdout.decode()
    check("[PASS]" in text, "print-job.test did not pass:\n" + text)
    status, values = server.ipp("/ipp/print/" + printer, 0x000A, server.printer_uri(printer),
                                [(a.TAG_KEYWORD, "which-jobs", "all"), (a.TAG_KEYWORD, "requested-attributes", "job-id")])
    return max(values["job-id"])


# Under an emulator (a cross build's tests) the application works several times slower.
SLOWER = 6 if os.environ.get("GDI_TEST_EMULATOR") else 1


def skip_under_32bit_arm_emulation():
    """PAPPL 1.3's own client sub-commands and web form handling crash under qemu-arm (a
    program that does nothing but call papplMainloop crashes the same way): those cases
    run natively and under the 64-bit ARM emulator."""
    emulator = os.environ.get("GDI_TEST_EMULATOR", "").split()
    if emulator and os.path.basename(emulator[0]) == "qemu-arm":
        raise g.Skip("PAPPL 1.3's sub-commands and web forms crash under qemu-arm, also without this "
                     "application's code")


def small_stream(work):
    """A printer stream of one small page, made by the CUPS filter."""
    raster, stream = os.path.join(work, "small.pwg"), os.path.join(work, "small.gdi")
    a.write_pwg(raster, [a.PwgPage(64, 64, lambda y: bytes(64))])
    a.run_filter(raster, 1, "", stream)
    return stream


def expect_clean_spool(server, what):
    """Once the job has ended (a cancelled job ends a moment after its state says so)."""
    deadline = time.monotonic() + 10 * SLOWER
    while True:
        left = server.leftover_spool_files()
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    check(not left, "%s: the spool folder still holds %s\n%s" % (what, left, server.logs(400)))


def expect_printer_idle(server, printer, what):
    deadline = time.monotonic() + 10 * SLOWER
    while True:
        state = server.printer_attributes(printer)["printer-state"][0]
        if state == 3 or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    check(state == 3, "%s: printer-state %d after the job, not idle" % (what, state))


# --- cases ------------------------------------------------------------------------------

def case_pwg_matches_filter(work):
    """PWG raster through the application and through the filter: the same stream, both models."""
    def body(server):
        server.add_printer("one", DRIVERS[1])
        server.add_printer("two", DRIVERS[2])
        raster = os.path.join(work, "two-pages.pwg")
        a.write_pwg(raster, a4_pages(2))
        # ipptool and print-job.test, the printers' defaults on both sides.
        for printer, model in (("one", 1), ("two", 2)):
            job = ipptool_print(server, printer, raster)
            state = server.wait_job(printer, job)
            check(state["state"] == "completed", "ipptool job ended %s" % state["state"])
            check(state["job-impressions-completed"] == [2], "impressions %s" % state["job-impressions-completed"])
            app_stream = server.take_output(printer, os.path.join(work, "ipptool-%s.gdi" % printer))
            filter_stream = os.path.join(work, "ipptool-%s-filter.gdi" % printer)
            a.run_filter(raster, model, "", filter_stream)
            same_streams(app_stream, filter_stream, "print-job.test on " + printer)
        # Job settings: each as an IPP attribute on one side and a PPD keyword on the other.
        black = os.path.join(work, "black8.pwg")
        a.write_pwg(black, a4_pages(1, color_space=3))
        three = os.path.join(work, "three.pwg")
        a.write_pwg(three, a4_pages(3))
        cases = [
            ("black8", "one", 1, black, "", ()),
            ("duplex-long", "one", 1, three, "Duplex=DuplexNoTumble",
             [(a.TAG_KEYWORD, "sides", "two-sided-long-edge")]),
            ("duplex-short", "two", 2, three, "Duplex=DuplexTumble",
             [(a.TAG_KEYWORD, "sides", "two-sided-short-edge")]),
            ("settings", "two", 2, raster, "PBrightness=Level7 PContrast=Level2 TonerSave=True "
             "EdgeSmoothing=True InputSlot=Tray2",
             [(a.TAG_INTEGER, "gdi-brightness", 2), (a.TAG_INTEGER, "gdi-contrast", -3),
              (a.TAG_BOOLEAN, "gdi-toner-save", True), (a.TAG_BOOLEAN, "gdi-edge-smoothing", True),
              (a.TAG_BEGIN_COLLECTION, "media-col", [[(a.TAG_KEYWORD, "media-source", "tray-2")]])]),
            ("long-edge", "one", 1, raster, "LongEdgeIsVertical=True",
             [(a.TAG_BOOLEAN, "gdi-long-edge-feed", True)]),
        ]
        for name, printer, model, document, options, attrs in cases:
            state, pages = compare_with_filter(work, server, printer, model, document, options, name, attrs)
            check(state["job-impressions-completed"] == [len(pages)],
                  "%s: %s impressions counted, %d pages in the stream"
                  % (name, state["job-impressions-completed"], len(pages)))
        # A setting the printer cannot do is changed as the filter changes it, and the job's
        # state message says so: an envelope feeds from the manual tray only.
        envelope = os.path.join(work, "envelope.pwg")
        a.write_pwg(envelope, [a.PwgPage(2475, 5700, a.test_card_line(2475, 5700), page_points=(297, 684))])
        state, _ = compare_with_filter(
            work, server, "one", 1, envelope, "PageSize=Env10 InputSlot=Tray1", "envelope",
            [(a.TAG_BEGIN_COLLECTION, "media-col", [[(a.TAG_KEYWORD, "media-size-name", "na_number-10_4.125x9.5in"),
                                                      (a.TAG_KEYWORD, "media-source", "tray-1")]])])
        message = " ".join(state.get("job-state-message", []))
        check("Manual Feed" in message, "the envelope job's message %r does not tell of the manual tray" % message)
        expect_clean_spool(server, "pwg")
    a.with_server(work, body)


def case_images(work):
    """JPEG and PNG documents through ipptool: one A4 page each, the picture inside the margins."""
    def body(server):
        server.add_printer("one", DRIVERS[1])
        png = os.path.join(work, "picture.png")
        a.write_png(png, 600, 800)
        jpeg = os.path.join(work, "frame.jpg")
        a.write_jpeg(jpeg, source("tests", "data", "frame.ps"))
        for document in (png, jpeg):
            job = ipptool_print(server, "one", document)
            state = server.wait_job("one", job)
            check(state["state"] == "completed", "%s: job ended %s (%s)"
                  % (document, state["state"], state.get("job-state-message")))
            check(state["job-impressions-completed"] == [1], "impressions %s" % state["job-impressions-completed"])
            name = os.path.basename(document)
            stream = server.take_output("one", os.path.join(work, name + ".gdi"))
            _, pages = g.decode(g.env_path("GDI_DECODE"), stream, os.path.join(work, name + "-pages"))
            check(len(pages) == 1, "%s: %d pages" % (name, len(pages)))
            bitmap = g.Bitmap(os.path.join(work, name + "-pages", "page-0001.pbm"))
            g.check_page_size(pages[0], bitmap, g.PAPER_POINTS["A4"], name)
            box = bitmap.ink_box()
            check(box is not None, "%s: the page is blank" % name)
            margin = g.points_to_dots(12) - 2
            check(box[0] >= margin and box[1] >= margin, "%s: ink at %s, within the 12 pt margin" % (name, box))
        expect_clean_spool(server, "images")
    a.with_server(work, body)


def case_pdf(work):
    """PDF through Ghostscript: three pages, and long-edge duplex in the printer's page order."""
    a.tool("gs")

    def body(server):
        server.add_printer("one", DRIVERS[1])
        pdf = source("tests", "data", "pages3.pdf")
        for name, attrs, numbers in (("simplex", (), [1, 2, 3]),
                                     ("duplex", [(a.TAG_KEYWORD, "sides", "two-sided-long-edge")], [2, 1, 4, 3])):
            job = server.print_job("one", pdf, "application/pdf", attrs, name=name)
            state = server.wait_job("one", job)
            check(state["state"] == "completed", "%s: %s (%s)" % (name, state["state"], state.get("job-state-message")))
            stream = server.take_output("one", os.path.join(work, name + ".gdi"))
            _, pages = g.decode(g.env_path("GDI_DECODE"), stream, os.path.join(work, name + "-pages"))
            check([p.number for p in pages] == numbers, "%s: pages %s" % (name, [p.number for p in pages]))
            check(state["job-impressions-completed"] == [len(numbers)],
                  "%s: impressions %s" % (name, state["job-impressions-completed"]))
        expect_clean_spool(server, "pdf")
    a.with_server(work, body)


def case_ipp_everywhere(work):
    """ipptool's ipp-everywhere.test against a printer of each model: no test fails."""
    ipptool = a.tool("ipptool")
    # On loopback PAPPL 1.3 lists one printer URI but both URI security values unless
    # TLS is off; the conformance run is made without TLS.
    def body(server):
        report = []
        for printer, driver in (("one", DRIVERS[1]), ("two", DRIVERS[2])):
            server.add_printer(printer, driver)
        # printer-up-time counts whole seconds, and must be above 0.
        time.sleep(1.5)
        # A small document: the suite waits for its jobs a limited number of times, which a
        # busy machine rendering page after page at 600 dpi could exhaust.
        document = os.path.join(work, "small.png")
        a.write_png(document, 200, 200)
        for printer in ("one", "two"):
            result = subprocess.run([ipptool, "-tv", "-f", document,
                                     server.printer_uri(printer), "/usr/share/cups/ipptool/ipp-everywhere.test"],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
            text = result.stdout.decode("utf-8", "replace")
            # The report stays in the build tree beside the screenshots.
            reports = os.environ.get("GDI_SCREENSHOT_DIR", work)
            os.makedirs(reports, exist_ok=True)
            with open(os.path.join(reports, "ipp-everywhere-%s.txt" % printer), "w") as f:
                f.write(text)
            counts = {k: len(re.findall(r"\[%s\]" % k, text)) for k in ("PASS", "FAIL", "SKIP")}
            report.append("%s: %d passed, %d failed, %d skipped" % (printer, counts["PASS"], counts["FAIL"], counts["SKIP"]))
            check(result.returncode == 0 and counts["FAIL"] == 0 and counts["PASS"] > 0,
                  "ipp-everywhere.test on %s: %s\n%s\n%s" % (printer, counts, "\n".join(
                      l for l in text.splitlines() if "FAIL" in l or "EXPECTED" in l or "GOT" in l
                      or "status-code" in l or "job-state" in l), server.logs()))
        print("\n".join(report))
        # The suite's last jobs may still be printing when it ends.
        for printer in ("one", "two"):
            expect_printer_idle(server, printer, "ipp-everywhere")
        expect_clean_spool(server, "ipp-everywhere")
    a.with_server(work, body, server_options=["server-options=no-tls"])


def send_in_background(server, printer, document, format, attrs=(), name="job"):
    """Print-Job of a streamed raster answers only once the job has ended: sent from a thread."""
    outcome = {}

    def send():
        try:
            outcome["job"] = server.print_job(printer, document, format, attrs, name=name)
        except Exception as error:  # reported by the caller
            outcome["error"] = error
    thread = threading.Thread(target=send)
    thread.start()
    return thread, outcome


def newest_job(server, printer):
    status, values = server.ipp("/ipp/print/" + printer, 0x000A, server.printer_uri(printer),
                                [(a.TAG_KEYWORD, "which-jobs", "all"), (a.TAG_KEYWORD, "requested-attributes", "job-id")])
    return max(values.get("job-id", [0]))


def case_cancel(work):
    """Cancel-Job mid-job: whole pages only, then the cancel command and the job end; pages counted."""
    def body(server):
        server.add_printer("one", DRIVERS[1])
        raster = os.path.join(work, "many.pwg")
        a.write_pwg(raster, a4_pages(40))
        thread, outcome = send_in_background(server, "one", raster, "image/pwg-raster", name="many")
        deadline = time.monotonic() + 60
        job = 0
        while time.monotonic() < deadline:
            job = newest_job(server, "one")
            if job and server.job("one", job)["job-impressions-completed"][0] >= 2:
                break
            time.sleep(0.05)
        check(job != 0, "the job never started\n" + server.logs())
        server.cancel_job("one", job)
        state = server.wait_job("one", job)
        thread.join(120)
        check(state["state"] == "canceled", "job ended %s, not canceled" % state["state"])
        stream = server.take_output("one", os.path.join(work, "cancelled.gdi"))
        listing, pages = g.decode(g.env_path("GDI_DECODE"), stream, os.path.join(work, "cancelled-pages"))
        check(0 < len(pages) < 40, "%d pages went out of 40" % len(pages))
        check("CANCEL" in listing, "the stream has no cancel command:\n" + listing[-2000:])
        check(state["job-impressions-completed"] == [len(pages)],
              "%s impressions counted, %d pages in the stream" % (state["job-impressions-completed"], len(pages)))
        expect_printer_idle(server, "one", "cancel")
        # The cancel sub-command, on a PDF job (rendered by the application itself).
        job = server.print_job("one", source("tests", "data", "pages3.pdf"), "application/pdf", name="pdf")
        server.wait_state("one", job, "processing")
        server.command("cancel", "-u", server.printer_uri("one"), "-j", str(job))
        state = server.wait_job("one", job)
        check(state["state"] in ("canceled", "completed"), "cancelled PDF job ended %s" % state["state"])
        expect_clean_spool(server, "cancel")
    a.with_server(work, body)


def case_cancel_at_once(work):
    """Cancel-Job right after Print-Job, before the job has begun or as it begins: every job ends
    canceled or printed, none aborted, the server stays up and the spool folder clean. (PAPPL 1.3
    may start a job's run after such a cancel removed its document.)"""
    def body(server):
        server.add_printer("one", DRIVERS[1])
        png = os.path.join(work, "small.png")
        a.write_png(png, 200, 200)
        documents = [(png, "image/png"), (small_stream(work), STREAM_FORMAT)]
        if shutil.which("gs"):
            documents.append((source("tests", "data", "pages3.pdf"), "application/pdf"))
        rounds = max(6, 30 // SLOWER)
        ended = {}
        jobs = []
        for document, format in documents:
            for _ in range(rounds):
                job = server.print_job("one", document, format)
                # The job may have ended already: any answer will do.
                server.ipp("/ipp/print/one", a.OP_CANCEL_JOB, server.printer_uri("one"),
                           [(a.TAG_INTEGER, "job-id", job)])
                jobs.append((format, job))
        # Not waited for one by one: a job that ends starts the next, which the next
        # cancel may then catch between the start of its run and its processing state.
        for format, job in jobs:
            state = server.wait_job("one", job)
            ended.setdefault(state["state"], []).append("%s job %d" % (format, job))
        with open(server.log, encoding="utf-8", errors="replace") as f:
            unstarted = f.read().count("The job was canceled before it began printing")
        print(", ".join("%d %s" % (len(names), state) for state, names in sorted(ended.items()))
              + "; %d run(s) found the job canceled before it began" % unstarted)
        check(set(ended) <= {"canceled", "completed"}, "jobs ended %s\n%s" % (ended, server.logs()))
        check("canceled" in ended, "no job was canceled: %s" % ended)
        expect_printer_idle(server, "one", "cancel at once")
        expect_clean_spool(server, "cancel at once")
    a.with_server(work, body)


def case_two_printers(work):
    """Two printers printing at once in one process: each stream is the filter's."""
    def body(server):
        server.add_printer("one", DRIVERS[1])
        server.add_printer("two", DRIVERS[2])
        rasters = {}
        for printer, count in (("one", 6), ("two", 5)):
            rasters[printer] = os.path.join(work, printer + ".pwg")
            a.write_pwg(rasters[printer], a4_pages(count))
        sides = [(a.TAG_KEYWORD, "sides", "two-sided-long-edge")]
        threads = [send_in_background(server, "one", rasters["one"], "image/pwg-raster", sides, "one"),
                   send_in_background(server, "two", rasters["two"], "image/pwg-raster", (), "two")]
        for thread, outcome in threads:
            thread.join(180)
            check("error" not in outcome, "Print-Job failed: %s" % outcome.get("error"))
        for (printer, model, options), (_, outcome) in zip(
                (("one", 1, "Duplex=DuplexNoTumble"), ("two", 2, "")), threads):
            state = server.wait_job(printer, outcome["job"])
            check(state["state"] == "completed", "%s ended %s" % (printer, state["state"]))
            app_stream = server.take_output(printer, os.path.join(work, printer + "-app.gdi"))
            filter_stream = os.path.join(work, printer + "-filter.gdi")
            a.run_filter(rasters[printer], model, options, filter_stream)
            same_streams(app_stream, filter_stream, "printer " + printer)
    a.with_server(work, body)


class FailingPrinter:
    """A socket printer on loopback that takes `limit` bytes of its first job, then resets
    the connection; later jobs it reads to the end."""

    def __init__(self, limit):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(120)
        self.port = self.listener.getsockname()[1]
        self.limit, self.received = limit, []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        for connection_number in range(2):
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            got = bytearray()
            with connection:
                connection.settimeout(60)
                while True:
                    try:
                        data = connection.recv(65536)
                    except OSError:
                        break
                    if not data:
                        break
                    got += data
                    if connection_number == 0 and len(got) >= self.limit:
                        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                        break
            self.received.append(bytes(got))

    def close(self):
        self.listener.close()


def case_failing_device(work):
    """A printer that goes away mid-job: the job is aborted and says why; the next job prints."""
    def body(server):
        printer = FailingPrinter(200000)
        try:
            server.add_printer("net", DRIVERS[1], "socket://127.0.0.1:%d" % printer.port)
            raster = os.path.join(work, "pages.pwg")
            a.write_pwg(raster, a4_pages(12))
            thread, outcome = send_in_background(server, "net", raster, "image/pwg-raster", name="fails")
            thread.join(180)
            job = newest_job(server, "net")
            state = server.wait_job("net", job)
            message = " ".join(state.get("job-state-message", []))
            check(state["state"] == "aborted", "job ended %s (%s)" % (state["state"], message))
            check("could not be" in message and "written" in message,
                  "the job's message does not say the printer stream could not be written: %r" % message)
            expect_printer_idle(server, "net", "failing device")
            expect_clean_spool(server, "failing device")
            # The printer stays ready: the next job prints whole.
            small = os.path.join(work, "one-page.pwg")
            a.write_pwg(small, a4_pages(1))
            thread, outcome = send_in_background(server, "net", small, "image/pwg-raster", name="next")
            thread.join(180)
            state = server.wait_job("net", newest_job(server, "net"))
            check(state["state"] == "completed", "the next job ended %s" % state["state"])
            deadline = time.monotonic() + 10
            while len(printer.received) < 2 and time.monotonic() < deadline:
                time.sleep(0.1)
            check(len(printer.received) == 2, "the printer saw %d connections" % len(printer.received))
            second = os.path.join(work, "second.gdi")
            with open(second, "wb") as f:
                f.write(printer.received[1])
            g.decode(g.env_path("GDI_DECODE"), second, os.path.join(work, "second-pages"))
        finally:
            printer.close()
    a.with_server(work, body)


STREAM_FORMAT = "application/vnd.gdi-laser-stream"


def case_printer_stream(work):
    """A ready printer stream (made by the CUPS filter, say) goes to the device byte for byte;
    a device that goes away while it is sent, or takes nothing, aborts the job, which says why."""
    def body(server):
        # Noise pages code large: the stream is far more than a socket holds, so a device that
        # stops reading makes the sending fail rather than vanish into buffers.
        noise = os.path.join(work, "noise.pwg")
        a.write_pwg(noise, [a.PwgPage(A4_DOTS[0], A4_DOTS[1], lambda y: os.urandom(A4_DOTS[0]))
                            for _ in range(3)])
        stream = os.path.join(work, "noise.gdi")
        a.run_filter(noise, 1, "", stream)
        os.remove(noise)
        with open(stream, "rb") as f:
            sent = f.read()

        server.add_printer("one", DRIVERS[1])
        state = server.wait_job("one", server.print_job("one", stream, STREAM_FORMAT))
        check(state["state"] == "completed", "the stream job ended %s (%s)"
              % (state["state"], state.get("job-state-message")))
        with open(server.take_output("one", os.path.join(work, "one.gdi")), "rb") as f:
            check(f.read() == sent, "the device did not get the stream as it was sent")

        printer = FailingPrinter(100000)
        try:
            server.add_printer("net", DRIVERS[1], "socket://127.0.0.1:%d" % printer.port)
            state = server.wait_job("net", server.print_job("net", stream, STREAM_FORMAT))
            message = " ".join(state.get("job-state-message", []))
            check(state["state"] == "aborted", "the job on the failing device ended %s (%s)"
                  % (state["state"], message))
            check("could not be written" in message,
                  "the job's message does not say the stream could not be written: %r" % message)
            expect_printer_idle(server, "net", "failing device")
        finally:
            printer.close()

        # A stream small enough to wait in the device's buffer fails only when it is flushed.
        small = small_stream(work)
        server.add_printer("full", DRIVERS[1], "file:///dev/full")
        state = server.wait_job("full", server.print_job("full", small, STREAM_FORMAT))
        message = " ".join(state.get("job-state-message", []))
        check(state["state"] == "aborted", "the job on a full device ended %s (%s)"
              % (state["state"], message))
        check("could not be written" in message,
              "the job's message does not say the stream could not be written: %r" % message)
        expect_clean_spool(server, "printer stream")
    a.with_server(work, body)


def case_bad_documents(work):
    """Unreadable or unprintable documents: aborted, with a message saying why; the printer stays
    ready, the spool folder clean, and the device gets nothing or a stream that ends properly."""
    def body(server):
        server.add_printer("one", DRIVERS[1])
        docs = {}
        docs["jpeg"] = os.path.join(work, "broken.jpg")
        with open(docs["jpeg"], "wb") as f:
            f.write(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + bytes(range(256)) * 8)
        docs["pdf"] = os.path.join(work, "broken.pdf")
        with open(docs["pdf"], "wb") as f:
            f.write(b"%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n")
        docs["colour"] = os.path.join(work, "colour.pwg")
        a.write_pwg(docs["colour"], [a.PwgPage(600, 400, lambda y: bytes([200, 30, 30]) * 600, color_space=19)])
        docs["bitmap"] = os.path.join(work, "black1.pwg")
        a.write_pwg(docs["bitmap"], [a.PwgPage(608, 400, lambda y: bytes([0x0F]) * 76, bits=1, color_space=3)])
        docs["cut"] = os.path.join(work, "cut.pwg")
        a.write_pwg(docs["cut"], a4_pages(1))
        with open(docs["cut"], "rb") as f:
            whole = f.read()
        with open(docs["cut"], "wb") as f:
            f.write(whole[:len(whole) // 2])
        docs["huge"] = os.path.join(work, "huge.pwg")
        a.write_pwg(docs["huge"], [a.PwgPage(8400, 100, lambda y: bytes([255]) * 8400,
                                             page_points=(1008, 12))])  # 14 in wide
        expected = [
            ("jpeg", "image/jpeg", "could not be read as a JPEG"),
            ("pdf", "application/pdf", "PDF document could not be read"),
            ("colour", "image/pwg-raster", "colour"),
            ("bitmap", "image/pwg-raster", "not 8-bit grey"),
            ("cut", "image/pwg-raster", "ended within page 1"),
            ("huge", "image/pwg-raster", "larger than the printer"),
        ]
        for name, format, says in expected:
            thread, outcome = send_in_background(server, "one", docs[name], format, name=name)
            thread.join(120)
            state = server.wait_job("one", newest_job(server, "one"))
            message = " ".join(state.get("job-state-message", []))
            check(state["state"] == "aborted", "%s: job ended %s (%s)" % (name, state["state"], message))
            check(says in message, "%s: the message %r does not say %r" % (name, message, says))
            expect_printer_idle(server, "one", name)
            expect_clean_spool(server, name)
            folder = server.device_folder("one")
            for stream in os.listdir(folder):
                path = os.path.join(folder, stream)
                if os.path.getsize(path) > 0:
                    g.decode(g.env_path("GDI_DECODE"), path, os.path.join(work, name + "-pages"))
                os.unlink(path)
    a.with_server(work, body)


def chromium(args, what):
    browser = shutil.which("chromium")
    if browser is None:
        raise g.Skip("chromium is not installed (package chromium)")
    # Chromium puts a local socket into its TMPDIR and aborts when that path passes the
    # 107 bytes a socket address holds, as in a build tree deep below a package build's
    # folder: it gets a short folder of its own for the one run.
    temp = tempfile.mkdtemp(prefix="gdi-chromium-", dir="/tmp")
    try:
        return g.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                      "--disable-background-networking", "--disable-component-update", "--disable-sync",
                      "--user-data-dir=" + os.path.join(os.environ["GDI_WEB_WORK"], "chromium")] + args,
                     env=dict(os.environ, TMPDIR=temp), what=what)
    finally:
        shutil.rmtree(temp, ignore_errors=True)


def case_web_interface(work):
    """The printer's defaults page in headless Chromium shows the driver's settings; a default
    changed there changes the next job. The screenshots stay in the build tree."""
    skip_under_32bit_arm_emulation()
    os.environ["GDI_WEB_WORK"] = work
    shots = os.environ.get("GDI_SCREENSHOT_DIR", work)
    os.makedirs(shots, exist_ok=True)

    def body(server):
        server.add_printer("one", DRIVERS[1])
        page = "http://127.0.0.1:%d/one/printing" % server.port
        dom = chromium(["--dump-dom", page], "chromium --dump-dom").stdout.decode("utf-8", "replace")
        for name in ("gdi-brightness", "gdi-contrast", "gdi-toner-save", "gdi-edge-smoothing",
                     "gdi-long-edge-feed", "sides", "media-source"):
            check(('name="%s"' % name) in dom, "the defaults page shows no %s field" % name)
        chromium(["--window-size=1100,1500", "--screenshot=" + os.path.join(shots, "printer-defaults.png"), page],
                 "chromium --screenshot")
        # The form as the browser sends it, with the page's own session token.
        token = re.search(r'name="session" value="([^"]+)"', dom)
        check(token is not None, "the defaults page has no session token")
        import urllib.parse
        import urllib.request
        form = {"session": token.group(1), "gdi-brightness": "3", "gdi-contrast": "0",
                "gdi-toner-save": "on", "sides": "one-sided", "media-source": "auto",
                "print-color-mode": "monochrome", "print-quality": "normal", "print-content-optimize": "auto",
                "print-scaling": "auto", "orientation-requested": "3"}
        request = urllib.request.Request(page, data=urllib.parse.urlencode(form).encode(), method="POST")
        with urllib.request.urlopen(request, timeout=30) as response:
            answer = response.read().decode("utf-8", "replace")
        check("Changes saved." in answer, "the defaults page did not save the change")
        dom = chromium(["--dump-dom", page], "chromium --dump-dom").stdout.decode("utf-8", "replace")
        check(re.search(r'name="gdi-toner-save" checked', dom), "toner save is not shown on after the change")
        chromium(["--window-size=1100,1500", "--screenshot=" + os.path.join(shots, "printer-defaults-changed.png"),
                  page], "chromium --screenshot")
        raster = os.path.join(work, "page.pwg")
        a.write_pwg(raster, a4_pages(1))
        compare_with_filter(work, server, "one", 1, raster, "PBrightness=Level8 TonerSave=True", "after-change")
    a.with_server(work, body)


def expect_printers(server, names, what):
    """The printers answer at their URIs. (PAPPL's printers sub-command takes no -u: it asks the
    server of the user's local socket, starting one when none answers, so tests leave it out.)"""
    for name in names:
        status, values = server.ipp("/ipp/print/" + name, a.OP_GET_PRINTER_ATTRIBUTES, server.printer_uri(name))
        check(status < 0x0400, "%s: printer %s does not answer (status 0x%04x)" % (what, name, status))
        check(values.get("printer-name") == [name], "%s: printer-name %s" % (what, values.get("printer-name")))


def case_subcommands(work):
    """The main loop's sub-commands against the server: add, drivers, status, submit, jobs; the
    printers come back with the state after a restart."""
    skip_under_32bit_arm_emulation()
    def body(server):
        server.add_printer("one", DRIVERS[1])
        server.add_printer("two", DRIVERS[2])
        expect_printers(server, ["one", "two"], "printers")
        # With the server's spool folder: run as root, the sub-command would make the system's
        # own (/var/spool/gdi-printer-app) to list the drivers.
        drivers = server.command("drivers", "-o", "spool-directory=" + server.spool)
        check("gdi_laser_1" in drivers and "gdi_laser_2" in drivers, "drivers: %r" % drivers)
        check("Running" in server.command("status", "-u", server.system_uri()), "status")
        png = os.path.join(work, "p.png")
        a.write_png(png, 100, 100)
        server.command("submit", "-u", server.printer_uri("one"), png)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not os.listdir(server.device_folder("one")):
            time.sleep(0.1)
        check(os.listdir(server.device_folder("one")), "submit printed nothing")
        jobs = server.command("jobs", "-u", server.printer_uri("one"))
        check("completed" in jobs or "processing" in jobs, "jobs: %r" % jobs)
    a.with_server(work, body)
    # A new server on the same folder: the printer added before is there again.
    def again(server):
        expect_printers(server, ["one", "two"], "printers after a restart")
    a.with_server(work, again)


def case_cupsd_everywhere(work):
    """A real cupsd queue made with -m everywhere against the application prints a PDF to the
    end, to a socket:// printer, as the README has a new user do it."""
    if os.geteuid() != 0:
        raise g.Skip("a private cupsd that runs backends as user lp needs root")
    sys.path.insert(0, source("tests", "cups"))
    import cupsd_test

    def body(server):
        printer = FailingPrinter(limit=1 << 40)  # takes every byte of every job
        try:
            server.add_printer("laser", DRIVERS[1], "socket://127.0.0.1:%d" % printer.port)
            daemon = cupsd_test.PrivateCupsd()
            try:
                daemon.install(g.env_path("GDI_FILTER"))
                daemon.start()
                daemon.client([daemon.lpadmin, "-h", daemon.socket, "-p", "laser", "-E",
                               "-v", server.printer_uri("laser"), "-m", "everywhere"])
                daemon.wait_until_ready("laser")
                job = daemon.print_file("laser", source("tests", "data", "pages3.pdf"))
                state, reasons = daemon.wait_for("laser", job)
                check(state == "completed", "the cupsd job ended %s %s\n%s" % (state, reasons, daemon.logs()))
            finally:
                daemon.remove()
            state = server.wait_job("laser", newest_job(server, "laser"))
            check(state["state"] == "completed", "the application's job ended %s" % state["state"])
            deadline = time.monotonic() + 30
            while not printer.received and time.monotonic() < deadline:
                time.sleep(0.1)
            check(printer.received, "the socket printer got nothing")
        finally:
            printer.close()
        stream = os.path.join(work, "cups.gdi")
        with open(stream, "wb") as f:
            f.write(printer.received[0])
        _, pages = g.decode(g.env_path("GDI_DECODE"), stream, os.path.join(work, "cups-pages"))
        check(len(pages) == 3, "%d pages printed of 3" % len(pages))
        check(state["job-impressions-completed"] == [3], "impressions %s" % state["job-impressions-completed"])
    a.with_server(work, body)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(g.main(CASES, sys.argv))
