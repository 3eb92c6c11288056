"""Shared machinery of the printer application's tests.

A private gdi-printer-app server on a free loopback port, its spool folder, state and
log in the test's own folder (HOME and TMPDIR point there too, so nothing of a user's
or the system's application is touched); printers with file:// devices; a small IPP
client for jobs; test documents made here (PWG raster, PNG) or by Ghostscript (JPEG);
the CUPS filter run on the same raster for comparison.

Environment (set by CMake): GDI_PRINTER_APP, GDI_FILTER, GDI_DECODE, GDI_SOURCE_DIR.
"""

import http.client
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cups"))
import gdicheck as g  # noqa: E402
from gdicheck import check  # noqa: E402

START_TIMEOUT = 30
JOB_TIMEOUT = 120

JOB_STATES = {3: "pending", 4: "pending-held", 5: "processing", 6: "processing-stopped",
              7: "canceled", 8: "aborted", 9: "completed"}
TERMINAL = ("canceled", "aborted", "completed")


def tool(name):
    path = shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/usr/bin:/sbin:/bin")
    if path is None:
        raise g.Skip("%s is not installed" % name)
    return path


# --- IPP encoding -------------------------------------------------------------------

TAG_INTEGER, TAG_BOOLEAN, TAG_ENUM = 0x21, 0x22, 0x23
TAG_TEXT, TAG_NAME, TAG_KEYWORD, TAG_URI = 0x41, 0x42, 0x44, 0x45
TAG_CHARSET, TAG_LANGUAGE, TAG_MIME = 0x47, 0x48, 0x49
TAG_BEGIN_COLLECTION, TAG_END_COLLECTION, TAG_MEMBER = 0x34, 0x37, 0x4A

OP_PRINT_JOB, OP_CANCEL_JOB, OP_GET_JOB_ATTRIBUTES = 0x0002, 0x0008, 0x0009
OP_GET_PRINTER_ATTRIBUTES = 0x000B


def _value(tag, value):
    if tag in (TAG_INTEGER, TAG_ENUM):
        return struct.pack(">i", value)
    if tag == TAG_BOOLEAN:
        return b"\x01" if value else b"\x00"
    return value.encode()


def _attribute(tag, name, values):
    out = b""
    for i, value in enumerate(values if isinstance(values, list) else [values]):
        key = name.encode() if i == 0 else b""
        if tag == TAG_BEGIN_COLLECTION:
            out += struct.pack(">BH", tag, len(key)) + key + struct.pack(">H", 0)
            for member_tag, member_name, member_value in value:
                member = member_name.encode()
                out += struct.pack(">BHH", TAG_MEMBER, 0, len(member)) + member
                out += _attribute(member_tag, "", member_value)
            out += struct.pack(">BHH", TAG_END_COLLECTION, 0, 0)
            continue
        data = _value(tag, value)
        out += struct.pack(">BH", tag, len(key)) + key + struct.pack(">H", len(data)) + data
    return out


def encode_request(operation, uri, operation_attrs=(), job_attrs=()):
    body = struct.pack(">BBHI", 2, 0, operation, 1) + b"\x01"
    body += _attribute(TAG_CHARSET, "attributes-charset", "utf-8")
    body += _attribute(TAG_LANGUAGE, "attributes-natural-language", "en")
    body += _attribute(TAG_URI, "system-uri" if uri.endswith("/ipp/system") else "printer-uri", uri)
    body += _attribute(TAG_NAME, "requesting-user-name", "tester")
    for tag, name, value in operation_attrs:
        body += _attribute(tag, name, value)
    if job_attrs:
        body += b"\x02"
        for tag, name, value in job_attrs:
            body += _attribute(tag, name, value)
    return body + b"\x03"


def decode_response(data):
    """(status, {name: [values]}) of the top-level attributes; collections are skipped."""
    check(len(data) >= 8, "IPP response of %d bytes" % len(data))
    status = struct.unpack(">H", data[2:4])[0]
    values, name, pos, depth = {}, None, 8, 0
    while pos < len(data):
        tag = data[pos]
        pos += 1
        if tag == 0x03:
            break
        if tag < 0x10:
            continue
        length = struct.unpack(">H", data[pos:pos + 2])[0]
        key = data[pos + 2:pos + 2 + length].decode()
        pos += 2 + length
        length = struct.unpack(">H", data[pos:pos + 2])[0]
        raw = data[pos + 2:pos + 2 + length]
        pos += 2 + length
        if tag == TAG_BEGIN_COLLECTION:
            if depth == 0 and key:
                name = key
                values.setdefault(name, []).append(None)
            depth += 1
            continue
        if tag == TAG_END_COLLECTION:
            depth -= 1
            continue
        if depth > 0 or tag == TAG_MEMBER:
            continue
        if key:
            name = key
        if tag in (TAG_INTEGER, TAG_ENUM):
            value = struct.unpack(">i", raw)[0]
        elif tag == TAG_BOOLEAN:
            value = raw != b"\x00"
        elif tag in (0x10, 0x12, 0x13):
            value = None
        else:
            value = raw.decode("utf-8", "replace")
        values.setdefault(name, []).append(value)
    return status, values


# --- documents ------------------------------------------------------------------------

def _packbits(row, bpp=1):
    """One line of PWG raster pixels in its run-length code (pixels of `bpp` bytes)."""
    out = bytearray()
    pixels = [row[i:i + bpp] for i in range(0, len(row), bpp)]
    i, n = 0, len(pixels)
    while i < n:
        run = 1
        while i + run < n and run < 128 and pixels[i + run] == pixels[i]:
            run += 1
        if run > 1:
            out.append(run - 1)
            out += pixels[i]
            i += run
            continue
        start = i
        while i < n and i - start < 128 and (i + 1 >= n or pixels[i + 1] != pixels[i]):
            i += 1
        count = i - start
        if count == 1:
            out.append(0)  # a lone pixel: a run of one
            out += pixels[start]
            continue
        out.append(257 - count)
        for p in pixels[start:i]:
            out += p
    return bytes(out)


class PwgPage:
    """A PWG raster page: its header fields and a function of y giving each line."""

    def __init__(self, width, height, line, dpi=600, bits=8, color_space=18,
                 page_points=(595, 842), duplex=False, tumble=False, copies=1, margins=(0, 0)):
        self.width, self.height, self.line = width, height, line
        self.dpi, self.bits, self.color_space = dpi, bits, color_space
        self.page_points, self.duplex, self.tumble = page_points, duplex, tumble
        self.copies, self.margins = copies, margins

    def header(self, total_pages):
        h = bytearray(1796)
        h[0:9] = b"PwgRaster"

        def put(offset, value):
            struct.pack_into(">I", h, offset, value)
        colors = 3 if self.color_space in (1, 19) else 1
        bpp = self.bits * colors
        put(256 + 16, 1 if self.duplex else 0)
        put(276, self.dpi)
        put(280, self.dpi)
        put(312, self.margins[0])
        put(316, self.margins[1])
        put(340, self.copies)
        put(352, self.page_points[0])
        put(356, self.page_points[1])
        put(368, 1 if self.tumble else 0)
        put(372, self.width)
        put(376, self.height)
        put(384, self.bits)
        put(388, bpp)
        put(392, (self.width * bpp + 7) // 8)
        put(400, self.color_space)
        put(420, colors)
        put(452, total_pages)  # cupsInteger[0], the total page count
        return bytes(h)


def write_pwg(path, pages, cut_at=None):
    """Writes the pages as a PWG raster file; `cut_at` cuts the file after that many bytes."""
    out = bytearray(b"RaS2")
    for page in pages:
        out += page.header(len(pages))
        bpp = max(1, page.bits * (3 if page.color_space in (1, 19) else 1) // 8)
        cache = {}
        y = 0
        while y < page.height:
            row = page.line(y)
            repeat = 0
            while y + repeat + 1 < page.height and repeat < 255 and page.line(y + repeat + 1) == row:
                repeat += 1
            code = cache.get(row)
            if code is None:
                code = cache[row] = _packbits(row, bpp)
            out.append(repeat)
            out += code
            y += repeat + 1
    with open(path, "wb") as f:
        f.write(out[:cut_at] if cut_at else out)


def test_card_line(width, height, seed=0):
    """A page of sgray lines (255 white): a frame, grey bars and blocks that differ by `seed`."""
    cache = {}

    def line(y):
        band = (y * 16) // height
        key = band if 40 < y < height - 40 else -1
        if key in cache:
            return cache[key]
        if key < 0:
            row = bytes([0]) * width
        else:
            row = bytearray([255]) * width
            row[0:40] = bytes(40)
            row[width - 40:] = bytes(40)
            level = (band * 16 + seed * 37) % 256
            start = width // 8 + (band * width // 40)
            row[start:start + width // 3] = bytes([level]) * (width // 3)
            row = bytes(row)
        cache[key] = row
        return row
    return line


def write_png(path, width, height):
    """An 8-bit grey PNG: black frame, white inside, a dark diagonal band."""
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        row = bytearray([255]) * width
        for x in range(width):
            if x < 4 or y < 4 or x >= width - 4 or y >= height - 4 or abs(x - y) < 6:
                row[x] = 0
        raw += row

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


def write_jpeg(path, source_ps):
    """A grey JPEG of a PostScript page, made by Ghostscript at 100 dpi."""
    g.run([tool("gs"), "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=jpeggray", "-r100",
           "-sOutputFile=" + path, source_ps], what="gs (JPEG)")


# --- the CUPS filter on the same raster -------------------------------------------------

def run_filter(raster, model, options, out_path, title="job"):
    ppd = os.path.join(g.env_path("GDI_SOURCE_DIR"), "ppd", "gdilsr%d.ppd" % model)
    env = dict(os.environ, PPD=ppd)
    with open(out_path, "wb") as out:
        g.run([g.env_path("GDI_FILTER"), "1", "tester", title, "1", options, raster],
              stdout=out, env=env, what="rastertogdi")


def masked_stream(path):
    """The stream's bytes with the job header's date stamp and job name zeroed."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if data[:4] == b"GDIJ" and len(data) >= 120:
        data[20:24] = bytes(4)
        data[56:120] = bytes(64)
    return bytes(data)


# --- the server ---------------------------------------------------------------------------

class AppServer:
    def __init__(self, work, server_options=(), command=None, port=None, devices=()):
        self.work = work
        # file:// devices in the test's own folder (and /dev/full, the device that is always
        # full, and any others the case names), as the administrator allows them.
        self.allowed_devices = "file-device-directory=" + ":".join([work, "/dev/full"] + list(devices))
        self.app = g.env_path("GDI_PRINTER_APP")
        self.spool = os.path.join(work, "spool")
        self.log = os.path.join(work, "app.log")
        os.makedirs(self.spool, exist_ok=True)
        self.port = None  # the server takes the first free one from 8000 and logs it
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": work, "TMPDIR": work,
                    "LANG": "C", "GDI_PRINTER_APP_SPOOL": self.spool}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"):
            if name in os.environ:
                self.env[name] = os.environ[name]
        # PAPPL's own leaks at exit are not the application's.
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
        self.env["LSAN_OPTIONS"] = ":".join(
            filter(None, [self.env.get("LSAN_OPTIONS"), "suppressions=" + suppressions, "print_suppressions=0"]))
        self.process = None
        self.server_options = list(server_options)
        # Another server command line (a unit's, say) on a known port, logging to app.out.
        self.server_command, self.fixed_port = command, port

    def start(self):
        args = [self.app, "server", "-o", "listen-hostname=127.0.0.1", "-o", "spool-directory=" + self.spool,
                "-o", "log-file=" + self.log, "-o", "log-level=debug", "-o", self.allowed_devices]
        for option in self.server_options:
            args += ["-o", option]
        if self.server_command is not None:
            args = [self.app] + self.server_command + ["-o", self.allowed_devices]
        # A restarted server logs to the same file: its port is in what it adds.
        self.log_start = os.path.getsize(self.log) if os.path.exists(self.log) else 0
        self.port = self.fixed_port
        out = open(os.path.join(self.work, "app.out"), "ab")
        self.process = subprocess.Popen(g.emulated(args), stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=subprocess.STDOUT, env=self.env)
        out.close()
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise g.Failure("gdi-printer-app exited with %d at start\n%s"
                                % (self.process.returncode, self.logs()))
            # A port picked here could be taken by a test running beside this one before
            # the server binds it; the server's own choice is read from its log instead.
            if self.port is None:
                self.port = self.logged_port()
                if self.port is None:
                    time.sleep(0.05)
                    continue
            try:
                connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
                try:
                    connection.request("GET", "/")
                    if connection.getresponse().status == 200:
                        return
                finally:
                    connection.close()
            except OSError:
                pass
            time.sleep(0.1)
        raise g.Failure("gdi-printer-app did not answer within %d s\n%s" % (START_TIMEOUT, self.logs()))

    def logged_port(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as f:
                f.seek(self.log_start)
                found = re.search(r"Listening for connections on '127\.0\.0\.1:(\d+)'", f.read())
        except OSError:
            return None
        return int(found.group(1)) if found else None

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        check(self.process.returncode == 0,
              "gdi-printer-app exited with %d\n%s" % (self.process.returncode, self.logs()))

    def logs(self, lines=150):
        text = []
        for name in ("app.out", "app.log"):
            try:
                with open(os.path.join(self.work, name), "rb") as f:
                    data = f.read().decode("utf-8", "replace").splitlines()
            except OSError:
                continue
            interesting = [l for l in data if not l.startswith("D ") or "[Job" in l]
            text.append("---- %s (last %d lines) ----\n%s" % (name, lines, "\n".join(interesting[-lines:])))
        return "\n".join(text)

    def command(self, *args):
        """Runs a sub-command of the application against this server."""
        result = subprocess.run(g.emulated([self.app] + list(args)), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env, timeout=60)
        check(result.returncode == 0, "gdi-printer-app %s exited with %d: %s%s\n%s" % (
            " ".join(args), result.returncode, result.stdout.decode(), result.stderr.decode(), self.logs()))
        return result.stdout.decode()

    def system_uri(self):
        return "ipp://127.0.0.1:%d/ipp/system" % self.port

    def printer_uri(self, name):
        return "ipp://127.0.0.1:%d/ipp/print/%s" % (self.port, name)

    def add_printer(self, name, driver, device_uri=None):
        """Adds a printer; its file:// device is a folder of its own unless one is given."""
        if device_uri is None:
            folder = os.path.join(self.work, "device-" + name)
            os.makedirs(folder, exist_ok=True)
            device_uri = "file://" + folder
        self.command("add", "-u", self.system_uri(), "-d", name, "-m", driver, "-v", device_uri)
        return device_uri

    def device_folder(self, name):
        return os.path.join(self.work, "device-" + name)

    def ipp(self, resource, operation, uri, operation_attrs=(), job_attrs=(), document=b""):
        body = encode_request(operation, uri, operation_attrs, job_attrs) + document
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.request("POST", resource, body=body, headers={"Content-Type": "application/ipp"})
            response = connection.getresponse()
            data = response.read()
        finally:
            connection.close()
        check(response.status == 200, "IPP request to %s: HTTP %d" % (resource, response.status))
        return decode_response(data)

    def print_job(self, printer, document, format, job_attrs=(), name="job"):
        with open(document, "rb") as f:
            data = f.read()
        status, values = self.ipp("/ipp/print/" + printer, OP_PRINT_JOB, self.printer_uri(printer),
                                  [(TAG_MIME, "document-format", format), (TAG_NAME, "job-name", name)],
                                  job_attrs, data)
        check(status < 0x0400, "Print-Job: status 0x%04x %s\n%s" % (status, values, self.logs()))
        return values["job-id"][0]

    def job(self, printer, job_id):
        status, values = self.ipp("/ipp/print/" + printer, OP_GET_JOB_ATTRIBUTES, self.printer_uri(printer),
                                  [(TAG_INTEGER, "job-id", job_id)])
        check(status < 0x0400, "Get-Job-Attributes: status 0x%04x" % status)
        values["state"] = JOB_STATES.get(values["job-state"][0], str(values["job-state"][0]))
        return values

    def wait_job(self, printer, job_id, timeout=JOB_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            values = self.job(printer, job_id)
            if values["state"] in TERMINAL:
                return values
            check(self.process.poll() is None, "gdi-printer-app exited during job %d\n%s" % (job_id, self.logs()))
            time.sleep(0.1)
        raise g.Failure("job %d not finished after %d s\n%s" % (job_id, timeout, self.logs()))

    def wait_state(self, printer, job_id, wanted, timeout=JOB_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            values = self.job(printer, job_id)
            if values["state"] == wanted or values["state"] in TERMINAL:
                return values
            time.sleep(0.05)
        raise g.Failure("job %d never %s\n%s" % (job_id, wanted, self.logs()))

    def cancel_job(self, printer, job_id):
        status, values = self.ipp("/ipp/print/" + printer, OP_CANCEL_JOB, self.printer_uri(printer),
                                  [(TAG_INTEGER, "job-id", job_id)])
        check(status < 0x0400, "Cancel-Job: status 0x%04x %s" % (status, values))

    def printer_attributes(self, printer):
        status, values = self.ipp("/ipp/print/" + printer, OP_GET_PRINTER_ATTRIBUTES, self.printer_uri(printer))
        check(status < 0x0400, "Get-Printer-Attributes: status 0x%04x" % status)
        return values

    def take_output(self, printer, to_path):
        """Moves the one stream the printer's file:// device folder holds to `to_path`."""
        folder = self.device_folder(printer)
        deadline = time.monotonic() + 10
        while True:
            files = os.listdir(folder)
            if files or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        check(len(files) == 1, "device folder of %s holds %s" % (printer, files))
        shutil.move(os.path.join(folder, files[0]), to_path)
        return to_path

    def leftover_spool_files(self):
        """Files of the spool folder other than the state, the control socket and the job
        history's records (PAPPL keeps the attributes of finished jobs as .ipp files while it
        lists them)."""
        return [f for f in os.listdir(self.spool) if not f.endswith((".state", ".ipp", ".sock"))]


def with_server(work, body, server_options=()):
    server = AppServer(work, server_options)
    try:
        server.start()
        body(server)
    finally:
        server.stop()
