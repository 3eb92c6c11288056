#!/usr/bin/env python3
"""A real print queue: a private cupsd runs the filter on a PDF printed with lp.

The test starts its own cupsd as root in a temporary folder, listening only
on a unix socket inside it, installs the filter into the daemon's own
ServerBin tree and a shipped PPD into a queue whose device is a file, prints
a PDF with lp, waits for the job and checks the file with gdidecode. It never
touches the system's CUPS configuration or a running system cupsd, and it
removes its folder afterwards.

What the daemon needs, and why:
- It runs filters as user lp and refuses one whose file or folder is not
  owned by root or is writable by group or others; so the folder is 0755
  root-owned, under /var/tmp or /tmp, which lp can reach, and the filter is
  copied there (mode 0755) beside links to the stock filters.
- A file: device needs FileDevice Yes.
- Without a Printcap line of its own it would write the system's printcap.
- Its control socket sits in a 0700 sub-folder, so only root can use it.
- It hands filters only the environment it is told to; the sanitizer
  options are passed on so that a sanitizer build's filter reports into
  the error log.

Environment (set by CMake): GDI_FILTER, GDI_DECODE, GDI_SOURCE_DIR.
Usage: cupsd_test.py CASE        (exit 77, "skipped", when not run as root)
"""

import http.client
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

import gdicheck as g
from gdicheck import check

JOB_TIMEOUT = 120      # seconds for a job to finish
START_TIMEOUT = 30     # seconds for the daemon to answer
STOP_TIMEOUT = 30      # seconds for the daemon to exit after SIGTERM
SYSTEM_CUPS = "/usr/lib/cups"
SEARCH_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


def tool(name):
    path = shutil.which(name, path=SEARCH_PATH + ":" + os.environ.get("PATH", ""))
    if path is None:
        raise g.Skip("%s is not installed (packages cups-daemon, cups-client)" % name)
    return path


def reachable_temp_root():
    """A temporary folder that user lp can reach (TMPDIR may be private)."""
    for candidate in ("/var/tmp", "/tmp"):
        if os.path.isdir(candidate) and os.stat(candidate).st_mode & 0o001:
            return candidate
    raise g.Failure("neither /var/tmp nor /tmp can be entered by other users")


# --- a minimal IPP client for the job's state ---------------------------------------

JOB_STATES = {3: "pending", 4: "pending-held", 5: "processing", 6: "processing-stopped",
              7: "canceled", 8: "aborted", 9: "completed"}


class UnixHTTPConnection(http.client.HTTPConnection):
    def __init__(self, path):
        super().__init__("localhost", timeout=30)
        self.socket_path = path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(30)
        self.sock.connect(self.socket_path)


def ipp_attribute(tag, name, value):
    name, value = name.encode(), value.encode()
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value


def job_attributes(socket_path, job_number, names=("job-state", "job-state-reasons")):
    """{name: [raw values]} of a job, by a Get-Job-Attributes request."""
    request = (struct.pack(">BBHI", 2, 0, 0x0009, 1) + b"\x01"
               + ipp_attribute(0x47, "attributes-charset", "utf-8")
               + ipp_attribute(0x48, "attributes-natural-language", "en")
               + ipp_attribute(0x45, "job-uri", "ipp://localhost/jobs/%d" % job_number)
               + ipp_attribute(0x42, "requesting-user-name", "root")
               + b"".join(ipp_attribute(0x44, "" if i else "requested-attributes", name)
                          for i, name in enumerate(names))
               + b"\x03")
    connection = UnixHTTPConnection(socket_path)
    try:
        connection.request("POST", "/jobs/", body=request, headers={"Content-Type": "application/ipp"})
        response = connection.getresponse()
        data = response.read()
    finally:
        connection.close()
    check(response.status == 200 and len(data) >= 9, "Get-Job-Attributes: HTTP %d" % response.status)
    status = struct.unpack(">H", data[2:4])[0]
    check(status < 0x0100, "Get-Job-Attributes: IPP status 0x%04x" % status)
    values, name, pos = {}, None, 8
    while pos < len(data):
        tag = data[pos]
        pos += 1
        if tag == 0x03:
            break
        if tag < 0x10:          # the start of another attribute group
            continue
        length = struct.unpack(">H", data[pos:pos + 2])[0]
        if length:
            name = data[pos + 2:pos + 2 + length].decode()
        pos += 2 + length
        length = struct.unpack(">H", data[pos:pos + 2])[0]
        values.setdefault(name, []).append(data[pos + 2:pos + 2 + length])
        pos += 2 + length
    return values


def job_state(socket_path, job_number):
    """(job-state name, [job-state-reasons]) of a job."""
    values = job_attributes(socket_path, job_number)
    check("job-state" in values, "Get-Job-Attributes gave no job-state")
    state = struct.unpack(">i", values["job-state"][0])[0]
    return JOB_STATES.get(state, str(state)), [v.decode() for v in values.get("job-state-reasons", [])]


class PrivateCupsd:
    def __init__(self):
        self.cupsd = tool("cupsd")
        self.lpadmin, self.lp, self.lpstat = tool("lpadmin"), tool("lp"), tool("lpstat")
        if not os.path.isdir(SYSTEM_CUPS + "/filter"):
            raise g.Skip(SYSTEM_CUPS + "/filter is missing (package cups-daemon)")
        self.root = tempfile.mkdtemp(prefix="gdi-cupsd-", dir=reachable_temp_root())
        os.chmod(self.root, 0o755)
        self.process = None
        self.socket = os.path.join(self.root, "control", "cups.sock")
        self.env = {"PATH": SEARCH_PATH, "LANG": "C", "HOME": self.root, "CUPS_SERVER": self.socket}

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def install(self, filter_path, log_level="debug"):
        """The daemon's folders, its ServerBin tree with the filter, its configuration."""
        for sub in ("conf", "bin", "bin/filter", "spool", "spool/tmp", "cache", "state", "ssl", "log", "out"):
            os.mkdir(self.path(sub), 0o755)
        os.mkdir(self.path("control"), 0o700)
        for sub in ("backend", "cgi-bin", "daemon", "monitor", "notifier", "driver"):
            if os.path.isdir(os.path.join(SYSTEM_CUPS, sub)):
                os.symlink(os.path.join(SYSTEM_CUPS, sub), self.path("bin", sub))
        for name in os.listdir(SYSTEM_CUPS + "/filter"):
            os.symlink(os.path.join(SYSTEM_CUPS, "filter", name), self.path("bin", "filter", name))
        installed = self.path("bin", "filter", "rastertogdi")
        emulator = os.environ.get("GDI_TEST_EMULATOR", "")
        if emulator:
            # Built for another processor: cupsd starts a script that runs the filter
            # through the emulator.
            program = self.path("bin", "rastertogdi.target")
            shutil.copyfile(filter_path, program)
            os.chmod(program, 0o755)
            with open(installed, "w") as f:
                f.write('#!/bin/sh\nexec %s %s "$@"\n' % (emulator, program))
        else:
            shutil.copyfile(filter_path, installed)
        os.chmod(installed, 0o755)

        with open(self.path("conf", "cupsd.conf"), "w") as f:
            f.write("""LogLevel %(level)s
MaxLogSize 0
Listen %(socket)s
Browsing No
BrowseLocalProtocols none
DefaultShared No
WebInterface No
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
""" % {"socket": self.socket, "level": log_level})
        with open(self.path("conf", "cups-files.conf"), "w") as f:
            f.write("""ServerRoot %(r)s/conf
ServerBin %(r)s/bin
DataDir /usr/share/cups
RequestRoot %(r)s/spool
TempDir %(r)s/spool/tmp
CacheDir %(r)s/cache
StateDir %(r)s/state
ServerKeychain %(r)s/ssl
CreateSelfSignedCerts no
ErrorLog %(r)s/log/error_log
AccessLog %(r)s/log/access_log
PageLog %(r)s/log/page_log
Printcap %(r)s/printcap
FileDevice Yes
User lp
Group lp
SystemGroup root
PassEnv ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
""" % {"r": self.root})

    def start(self):
        out = open(self.path("log", "cupsd.out"), "wb")
        self.process = subprocess.Popen(
            [self.cupsd, "-f", "-c", self.path("conf", "cupsd.conf"),
             "-s", self.path("conf", "cups-files.conf")],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
            env=dict(self.env, **{k: v for k, v in os.environ.items()
                                  if k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}))
        out.close()
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise g.Failure("cupsd exited with %d at start\n%s" % (self.process.returncode, self.logs()))
            answer = self.client([self.lpstat, "-h", self.socket, "-r"], check_status=False)
            if answer.stdout.decode().strip() == "scheduler is running":
                return
            time.sleep(0.2)
        raise g.Failure("cupsd did not answer within %d s\n%s" % (START_TIMEOUT, self.logs()))

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def remove(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def client(self, args, check_status=True):
        result = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env, timeout=60)
        if check_status and result.returncode != 0:
            raise g.Failure("%s exited with %d: %s\n%s" % (
                " ".join(args), result.returncode, result.stderr.decode("utf-8", "replace"), self.logs()))
        return result

    def logs(self):
        text = []
        for name in ("cupsd.out", "error_log"):
            try:
                with open(self.path("log", name), "rb") as f:
                    data = f.read().decode("utf-8", "replace")
            except OSError:
                continue
            text.append("---- %s (last 200 lines) ----\n%s" % (name, "\n".join(data.splitlines()[-200:])))
        return "\n".join(text)

    def add_queue(self, name, ppd):
        device = "file://" + self.path("out", name + ".gdi")
        self.client([self.lpadmin, "-h", self.socket, "-p", name, "-E", "-v", device, "-P", ppd])
        return self.path("out", name + ".gdi")

    def served_ppd(self, queue):
        """The queue's PPD as cupsd hands it to clients (what lpoptions -l reads), or b""."""
        connection = UnixHTTPConnection(self.socket)
        try:
            connection.request("GET", "/printers/%s.ppd" % queue)
            response = connection.getresponse()
            data = response.read()
        finally:
            connection.close()
        return data if response.status == 200 else b""

    def wait_until_ready(self, queue, timeout=60):
        """Waits until a driverless queue (lpadmin -m everywhere) can print: cupsd makes its
        PPD in the background after lpadmin returns, and a job sent before fails with
        "Unable to convert file 0 to printable format". Ready: the PPD with its options is
        served, cupsd has logged the queue available (it takes the PPD's filters just
        before), and the queue is idle."""
        available = 'Printer "%s" is now available.' % queue
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(self.path("log", "error_log"), encoding="utf-8", errors="replace") as f:
                logged = available in f.read()
            state = self.client([self.lpstat, "-h", self.socket, "-p", queue], check_status=False)
            if (logged and b"*OpenUI" in self.served_ppd(queue)
                    and " is idle." in state.stdout.decode()):
                return
            time.sleep(0.2)
        raise g.Failure("queue %s not ready after %d s\n%s" % (queue, timeout, self.logs()))

    def print_file(self, queue, document, options=()):
        args = [self.lp, "-h", self.socket, "-d", queue, "-t", os.path.basename(document)]
        for option in options:
            args += ["-o", option]
        text = self.client(args + [document]).stdout.decode()
        # "request id is gdi-1 (1 file(s))"
        words = text.split()
        check(len(words) >= 4 and words[3].startswith(queue + "-"), "unexpected lp output: " + text)
        return words[3]

    def wait_for(self, queue, job):
        """Waits until the job has finished; gives up when it or the queue stops, or after a while."""
        number = int(job.rsplit("-", 1)[1])
        deadline = time.monotonic() + JOB_TIMEOUT
        while time.monotonic() < deadline:
            state, reasons = job_state(self.socket, number)
            if state in ("completed", "canceled", "aborted", "processing-stopped"):
                return state, reasons
            # A failing filter stops the queue and can leave the job pending.
            queue_state = self.client([self.lpstat, "-h", self.socket, "-p", queue]).stdout.decode()
            if "disabled" in queue_state:
                raise g.Failure("the queue stopped while printing %s (job %s, %s): %s\n%s"
                                % (job, state, reasons, queue_state.strip(), self.logs()))
            if self.process.poll() is not None:
                raise g.Failure("cupsd exited while printing %s\n%s" % (job, self.logs()))
            time.sleep(0.3)
        raise g.Failure("%s not finished after %d s\n%s" % (job, JOB_TIMEOUT, self.logs()))

    def check_clean_end(self, queue, job):
        """The job completed (not stopped, aborted or cancelled) and every filter exited without error.

        Returns the job's lines of the error log. (For a job on a file: device
        this cupsd leaves "processing-to-stop-point" among the reasons of a
        completed job, so the state and the log tell the end, not the reasons.)
        """
        state, reasons = self.wait_for(queue, job)
        check(state == "completed", "%s ended %s %s\n%s" % (job, state, reasons, self.logs()))
        tag = "[Job %s]" % job.rsplit("-", 1)[1]
        deadline = time.monotonic() + 10
        while True:
            with open(self.path("log", "error_log"), encoding="utf-8", errors="replace") as f:
                job_lines = [line for line in f.read().splitlines() if tag in line]
            if any("Job completed." in line for line in job_lines) or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        check(any("Job completed." in line for line in job_lines),
              "the error log does not show the job completed\n" + self.logs())
        check(any("rastertogdi) exited with no errors" in line for line in job_lines),
              "the error log does not show rastertogdi ending without errors\n" + self.logs())
        stopped = [line for line in job_lines if "exited with status" in line or "crashed" in line]
        check(not stopped, "a filter of the job failed: %s\n%s" % (stopped, self.logs()))
        return job_lines


def print_job(work, document, options, expect_numbers, what):
    source = g.env_path("GDI_SOURCE_DIR")
    if os.geteuid() != 0:
        raise g.Skip("a private cupsd that runs filters as user lp needs root")
    daemon = PrivateCupsd()
    try:
        daemon.install(g.env_path("GDI_FILTER"))
        daemon.start()
        device = daemon.add_queue("gdi", os.path.join(source, "ppd", "gdilsr1.ppd"))
        job = daemon.print_file("gdi", os.path.join(source, "tests", "data", document), options)
        job_lines = daemon.check_clean_end("gdi", job)
        # The PPD and the spool folder the daemon handed to the filter.
        env_lines = [line for line in job_lines if "envp[" in line]
        for name in ("PPD=", "TMPDIR=", "DEVICE_URI=file:"):
            check(any(name in line for line in env_lines),
                  "the filter was not given %s... (error log: %s)" % (name, env_lines))
        check(os.path.getsize(device) > 0, "the device file is empty")
        stream = os.path.join(work, "job.gdi")
        shutil.copyfile(device, stream)
        # "printer user job-id [date] total N ...": the pages the filter reported.
        with open(daemon.path("log", "page_log")) as f:
            totals = [line.split("] total ")[1].split()[0] for line in f
                      if line.split()[2:3] == [job.rsplit("-", 1)[1]] and "] total " in line]
    finally:
        daemon.remove()
    check(not os.path.exists(daemon.root), "the daemon's folder was not removed")

    _, pages = g.decode(g.env_path("GDI_DECODE"), stream, os.path.join(work, "pages"))
    numbers = [p.number for p in pages]
    check(numbers == expect_numbers, "%s: pages %s in the stream, expected %s" % (what, numbers, expect_numbers))
    for page in pages:
        bitmap = g.Bitmap(os.path.join(work, "pages", "page-%04d.pbm" % page.number))
        g.check_page_size(page, bitmap, g.PAPER_POINTS["A4"], "%s page %d" % (what, page.number))
    # The filter's own page reports, as the daemon received them.
    reported = [line for line in job_lines if "] PAGE: " in line]
    check(len(reported) == len(pages),
          "%s: the filter reported %d pages, the stream has %d" % (what, len(reported), len(pages)))
    # The daemon writes the total when the filter has exited; with the filter in an
    # emulator (GDI_TEST_EMULATOR) it was seen to do so before it had read the last page
    # report, so there only the reports above count.
    if not os.environ.get("GDI_TEST_EMULATOR"):
        check(totals == [str(len(pages))],
              "%s: the page log counts %s pages, the stream has %d" % (what, totals, len(pages)))
    return pages


def case_simplex(work):
    """One A4 page through a real queue: one page of A4, the frame in place, a clean end."""
    pages = print_job(work, "frame-a4.pdf", (), [1], "simplex")
    check(pages[0].kind == "simplex", "page kind %r" % pages[0].kind)
    bitmap = g.Bitmap(os.path.join(work, "pages", "page-0001.pbm"))
    g.check_frame(bitmap, g.PAPER_POINTS["A4"], "simplex")


def case_duplex(work):
    """Three pages, long-edge duplex through a real queue: pages 2, 1, blank 4, 3."""
    pages = print_job(work, "pages3.pdf", ("Duplex=DuplexNoTumble",), [2, 1, 4, 3], "duplex")
    kinds = [p.kind for p in pages]
    check(kinds == ["duplex-even", "duplex-odd", "duplex-even blank", "duplex-odd"],
          "duplex page kinds %s" % kinds)


def case_revised_note(work):
    """A setting the printer cannot do is told to the user, after the job too, where a user
    of a queue at the default log level looks: the job's message and the error log."""
    note = "Duplex (two-sided, long edge) is not available with the manual tray; printing one-sided"
    if os.geteuid() != 0:
        raise g.Skip("a private cupsd that runs filters as user lp needs root")
    daemon = PrivateCupsd()
    try:
        daemon.install(g.env_path("GDI_FILTER"), log_level="warn")
        daemon.start()
        daemon.add_queue("gdi", os.path.join(g.env_path("GDI_SOURCE_DIR"), "ppd", "gdilsr1.ppd"))
        job = daemon.print_file("gdi", os.path.join(g.env_path("GDI_SOURCE_DIR"), "tests", "data",
                                                    "frame-a4.pdf"),
                                ("InputSlot=Manual", "Duplex=DuplexNoTumble"))
        state, reasons = daemon.wait_for("gdi", job)
        check(state == "completed", "%s ended %s %s\n%s" % (job, state, reasons, daemon.logs()))
        number = int(job.rsplit("-", 1)[1])
        message = job_attributes(daemon.socket, number, ("job-printer-state-message",))
        message = b"".join(message.get("job-printer-state-message", [])).decode()
        check(note in message, "job-printer-state-message is %r\n%s" % (message, daemon.logs()))
        listing = daemon.client([daemon.lpstat, "-h", daemon.socket, "-W", "completed", "-l",
                                 "-o", "gdi"]).stdout.decode()
        check("Status: " + note in listing, "lpstat -l -o shows:\n" + listing)
        with open(daemon.path("log", "error_log"), encoding="utf-8", errors="replace") as f:
            logged = [line for line in f if line.startswith("W ") and note in line]
        check(any("[Job %d]" % number in line for line in logged),
              "the error log at level warn lacks the note\n" + daemon.logs())
    finally:
        daemon.remove()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(g.main(CASES, sys.argv))
