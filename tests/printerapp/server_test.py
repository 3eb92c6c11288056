#!/usr/bin/env python3
"""The printer application as a server left running: it stays up and keeps its printers.

Cases: every web page and sub-command against a server started with the unit's command,
without and with an Avahi daemon (in a private network and mount namespace, so that the
devices listing sees only the loopback and the control socket and Avahi are the test's
own), then a job; several clients printing mixed formats at once, retrying when busy; a
kill mid-job and a restart.

Usage: server_test.py CASE    (exit 77, "skipped", when something needed is missing)
"""

import html.parser
import http.client
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import time
import tty
import urllib.error
import urllib.parse
import urllib.request

import apptest as a
import gdicheck as g
import printerapp_test as p
from gdicheck import check

INSIDE = "GDI_SERVER_TEST_INSIDE"  # set in the private namespace's own run of a case


def write_urf(path, width, height, dpi=600):
    """An Apple raster (URF) file of one 8-bit grey page, a dark band across white."""
    out = bytearray(b"UNIRAST\x00") + struct.pack(">I", 1)
    out += struct.pack(">BBBBIIIIIII", 8, 0, 1, 4, 0, 0, width, height, dpi, 0, 0)
    white, band = bytes([255]) * width, bytes([40]) * width
    y = 0
    while y < height:
        row = band if (y // 100) % 4 == 1 else white
        run = min(256, height - y, 100 - y % 100)
        out.append(run - 1)
        out += a._packbits(row)
        y += run
    with open(path, "wb") as f:
        f.write(out)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def attributes(server, printer):
    return server.printer_attributes(printer)


# --- every page and sub-command --------------------------------------------------------

class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links = []

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name in ("href", "action") and value:
                self.links.append(value)


def walk_web(server):
    """GETs every page reachable from the home page on the server; the pages seen."""
    base = "http://127.0.0.1:%d" % server.port
    seen, queue = set(), ["/"]
    while queue and len(seen) < 200:
        path = queue.pop(0)
        if path in seen:
            continue
        seen.add(path)
        try:
            with urllib.request.urlopen(base + path, timeout=60) as response:
                page = response.read().decode("utf-8", "replace")
        except urllib.error.HTTPError as error:
            check(error.code < 500, "GET %s: HTTP %d" % (path, error.code))
            continue
        except (OSError, http.client.HTTPException) as error:
            raise g.Failure("GET %s: %s\n%s" % (path, error, server.logs()))
        check(server.process.poll() is None, "the server ended on GET %s\n%s" % (path, server.logs()))
        parser = Links()
        parser.feed(page)
        for link in parser.links:
            url = urllib.parse.urlsplit(urllib.parse.urljoin(base + path, link))
            if url.netloc == "127.0.0.1:%d" % server.port and url.path not in seen:
                queue.append(url.path)
    return seen


def run_subcommands(server, commands):
    """Runs sub-commands against the server: each must work and leave the server up."""
    outputs = {}
    for command in commands:
        outputs[command[0]] = server.command(*command)
        check(server.process.poll() is None, "the server ended on %s\n%s" % (command, server.logs()))
    return outputs


def every_subcommand(server, work, with_avahi):
    """Every sub-command of the main loop but server and shutdown; the devices one lists what
    this namespace has (no network beyond the loopback). The printer's own sub-commands go
    through the control socket (this namespace's own), as a user on the machine runs them:
    PAPPL 1.3's modify puts a -u URI where the server does not look for it. PAPPL 1.3 gives
    a printer made by Create-Printer the printer-id 0 until the server restarts, and default
    and delete look printers up by it: those two run after a restart (SIGTERM, as systemd
    stops the unit)."""
    server.add_printer("two", p.DRIVERS[2])
    png = os.path.join(work, "small.png")
    a.write_png(png, 64, 64)
    outputs = run_subcommands(server, [
        ["devices"], ["drivers", "-o", "spool-directory=" + server.spool], ["printers"],
        ["status", "-u", server.system_uri()], ["status"], ["options", "-d", "one"],
        ["modify", "-d", "one", "-o", "printer-location=Hall"], ["pause", "-d", "two"],
        ["submit", "-d", "two", png], ["jobs", "-d", "two"], ["cancel", "-d", "two", "-a"],
        ["resume", "-d", "two"]])
    check("one" in outputs["printers"] and "two" in outputs["printers"], "printers: %r" % outputs["printers"])
    check(("No Avahi daemon answers" in outputs["devices"]) != with_avahi, "devices: %r" % outputs["devices"])
    server.stop()
    server.start()
    run_subcommands(server, [["default", "-d", "one"], ["delete", "-d", "two"]])
    p.expect_printers(server, ["one"], "after delete")


def unit_command(spool):
    """The unit's ExecStart (its port, its log on standard error) with a spool folder of the test's."""
    with open(p.source("printerapp", "gdi-printer-app.service")) as f:
        line = next(l for l in f if l.startswith("ExecStart="))
    return line.split()[1:] + ["-o", "spool-directory=" + spool]


def start_avahi(work):
    """A D-Bus system bus and an Avahi daemon of this namespace's own."""
    for name in ("dbus-daemon", "avahi-daemon"):
        if shutil.which(name, path="/usr/sbin:/usr/bin:/sbin:/bin") is None:
            raise g.Skip("%s is not installed" % name)
    os.makedirs("/run/dbus", exist_ok=True)
    os.makedirs("/run/avahi-daemon", exist_ok=True)
    bus_conf, avahi_conf = os.path.join(work, "bus.conf"), os.path.join(work, "avahi.conf")
    with open(bus_conf, "w") as f:
        f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"'
                ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n<busconfig><type>system</type>'
                '<listen>unix:path=/run/dbus/system_bus_socket</listen><auth>EXTERNAL</auth>'
                '<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>'
                '<allow receive_sender="*"/></policy></busconfig>\n')
    with open(avahi_conf, "w") as f:
        f.write("[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
                "[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\npublish-workstation=no\n")
    daemons = [subprocess.Popen(["dbus-daemon", "--nofork", "--config-file=" + bus_conf],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    time.sleep(0.3)
    daemons.append(subprocess.Popen(["avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "-f",
                                     avahi_conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        answer = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                                 "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.Avahi"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if b"boolean true" in answer.stdout:
            return daemons
        if daemons[1].poll() is not None:
            break
        time.sleep(0.2)
    stop_all(daemons)
    raise g.Skip("avahi-daemon does not start in this namespace")


def stop_all(processes):
    for process in reversed(processes):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def in_private_namespace(work, case):
    """Runs the case again in a network and mount namespace of its own (root's, or an ordinary
    user's where the kernel allows it); True when this is that run."""
    if os.environ.get(INSIDE):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
        return True
    unshare = shutil.which("unshare")
    if unshare is None or shutil.which("ip", path="/usr/sbin:/usr/bin:/sbin:/bin") is None:
        raise g.Skip("unshare or ip is missing (packages util-linux, iproute2)")
    flags = ["--mount", "--net", "--propagation", "private"] + ([] if os.geteuid() == 0 else ["--map-root-user"])
    probe = subprocess.run([unshare] + flags + ["true"], stderr=subprocess.PIPE)
    if probe.returncode != 0:
        raise g.Skip("no private network and mount namespace here: %s" % probe.stderr.decode().strip())
    env = dict(os.environ, PATH=os.environ.get("PATH", "") + ":/usr/sbin:/sbin", **{INSIDE: "1"})
    result = subprocess.run([unshare] + flags + [sys.executable, os.path.abspath(__file__), case], env=env,
                            timeout=500)
    if result.returncode == g.SKIP:
        raise g.Skip("skipped in the private namespace (see above)")
    check(result.returncode == 0, "the run in the private namespace failed (see above)")
    return False


def walk_everything(work, with_avahi):
    p.skip_under_32bit_arm_emulation()
    daemons = start_avahi(work) if with_avahi else []
    spool = os.path.join(work, "spool")
    os.makedirs(spool, exist_ok=True)
    server = a.AppServer(work, command=unit_command(spool), port=8000)
    try:
        server.start()
        server.add_printer("one", p.DRIVERS[1])
        pages = walk_web(server)
        check("/addprinter" in pages, "the walk never reached the Add Printer page: %s" % sorted(pages))
        every_subcommand(server, work, with_avahi)
        raster = os.path.join(work, "page.pwg")
        a.write_pwg(raster, p.a4_pages(1))
        state = server.wait_job("one", server.print_job("one", raster, "image/pwg-raster"))
        check(state["state"] == "completed", "the job after the walk ended %s" % state["state"])
        print("walked %d pages and every sub-command, Avahi %s" % (len(pages), "on" if with_avahi else "off"))
    finally:
        server.stop()
        stop_all(daemons)


def case_walk_without_avahi(work):
    """No D-Bus and no Avahi (a container, a minimal server): the Add Printer page and the
    devices sub-command list the devices there are and the server goes on."""
    if in_private_namespace(work, "walk_without_avahi"):
        walk_everything(work, with_avahi=False)


def case_walk_with_avahi(work):
    if in_private_namespace(work, "walk_with_avahi"):
        walk_everything(work, with_avahi=True)


# --- load ------------------------------------------------------------------------------

def send_retrying(server, printer, document, format, name, busy):
    """Print-Job as real clients send it: again after a pause while the printer is busy."""
    with open(document, "rb") as f:
        data = f.read()
    while True:
        status, values = server.ipp("/ipp/print/" + printer, a.OP_PRINT_JOB, server.printer_uri(printer),
                                    [(a.TAG_MIME, "document-format", format), (a.TAG_NAME, "job-name", name)],
                                    (), data)
        if status != 0x0507:  # server-error-busy
            check(status < 0x0400, "%s: status 0x%04x %s" % (name, status, values))
            return values["job-id"][0]
        busy.append(name)
        time.sleep(0.01)


def case_load(work):
    """Several clients print PWG raster, Apple raster, JPEG and PDF at once, retrying when busy:
    every job completes, the server answers throughout and its memory stays flat."""
    documents = [("image/pwg-raster", os.path.join(work, "page.pwg")), ("image/urf", os.path.join(work, "page.urf")),
                 ("image/jpeg", os.path.join(work, "page.jpg"))]
    a.write_pwg(documents[0][1], p.a4_pages(1))
    write_urf(documents[1][1], p.A4_DOTS[0], p.A4_DOTS[1])
    a.write_jpeg(documents[2][1], p.source("tests", "data", "frame.ps"))

    def body(server):
        server.add_printer("one", p.DRIVERS[1])
        if "application/pdf" in attributes(server, "one").get("document-format-supported", []):
            documents.append(("application/pdf", p.source("tests", "data", "frame-a4.pdf")))
        clients, rounds = 6, 4
        failures, busy, jobs, answers = [], [], [], []

        def client(number):
            try:
                for round in range(rounds):
                    format, path = documents[(number + round) % len(documents)]
                    jobs.append(send_retrying(server, "one", path, format, "c%dr%d" % (number, round), busy))
            except Exception as error:  # reported by the main thread
                failures.append("client %d: %s" % (number, error))

        def warm_up():
            for format, path in documents:
                server.wait_job("one", send_retrying(server, "one", path, format, "warm", busy))
        warm_up()
        before = rss_kib(server.process.pid)
        started = time.monotonic()
        threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
        for thread in threads:
            thread.start()
        while any(thread.is_alive() for thread in threads):
            # The server answers while it is loaded (each request has the client's timeout).
            asked = time.monotonic()
            attributes(server, "one")
            answers.append(time.monotonic() - asked)
            time.sleep(0.2)
            check(time.monotonic() - started < 240, "the clients did not finish in 240 s\n" + server.logs())
        check(not failures, "; ".join(failures) + "\n" + server.logs())
        states = [server.wait_job("one", job, timeout=120) for job in jobs]
        ended = [s["state"] for s in states if s["state"] != "completed"]
        check(not ended, "jobs ended %s" % ended)
        check(all(s["job-impressions-completed"] == [1] for s in states), "a job did not print its one page")
        warm_up()
        after = rss_kib(server.process.pid)
        print("%d jobs from %d clients (%d busy answers) in %.1f s; slowest answer %.2f s; RSS %d -> %d KiB"
              % (len(jobs), clients, len(busy), time.monotonic() - started, max(answers or [0]), before, after))
        check(after - before < 32 * 1024, "RSS grew from %d to %d KiB" % (before, after))
        state_file = os.path.join(server.spool, "gdi-printer-app.state")
        check(os.path.getsize(state_file) > 0, "the state file is empty")
    a.with_server(work, body)


# --- kill and restart ------------------------------------------------------------------

class StalledPrinter:
    """A printer on a pseudo-terminal (a character device, as a parallel or USB printer's
    is) that takes nothing until `serve` reads everything."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.uri = "file://" + os.ttyname(self.slave)

    def serve(self):
        def read():
            try:
                while os.read(self.master, 65536):
                    pass
            except OSError:
                pass
        threading.Thread(target=read, daemon=True).start()

    def close(self):
        os.close(self.slave)
        os.close(self.master)


def deep_media_col(server, depth=10000):
    """Get-Printer-Attributes with a media-col nested `depth` deep."""
    body = a.encode_request(a.OP_GET_PRINTER_ATTRIBUTES, server.printer_uri("one"))[:-1]
    body += struct.pack(">BH", a.TAG_BEGIN_COLLECTION, 9) + b"media-col" + struct.pack(">H", 0)
    body += (struct.pack(">BHH", a.TAG_MEMBER, 0, 9) + b"media-col" +
             struct.pack(">BHH", a.TAG_BEGIN_COLLECTION, 0, 0)) * (depth - 1)
    body += struct.pack(">BHH", a.TAG_END_COLLECTION, 0, 0) * depth + b"\x03"
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        connection.request("POST", "/ipp/print/one", body=body, headers={"Content-Type": "application/ipp"})
        connection.getresponse().read()
    except (OSError, http.client.HTTPException):
        pass
    finally:
        connection.close()
    time.sleep(0.2)


def case_kill_and_restart(work):
    """A crash (a request nested too deep) or SIGKILL while a job prints and another waits:
    after a restart the printers are all there,
    the interrupted job ends aborted by the system, the queued one prints, no spool file is left
    behind, and the printer's formats and sources are what they were."""
    raster, png = os.path.join(work, "page.pwg"), os.path.join(work, "page.png")
    a.write_pwg(raster, p.a4_pages(12))
    a.write_png(png, 100, 100)
    server, printer = a.AppServer(work), StalledPrinter()
    try:
        server.start()
        server.add_printer("one", p.DRIVERS[1], printer.uri)
        server.add_printer("spare", p.DRIVERS[2])
        before = attributes(server, "one")
        p.send_in_background(server, "one", raster, "image/pwg-raster", name="interrupted")
        deadline = time.monotonic() + 30
        while p.newest_job(server, "one") == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        first = p.newest_job(server, "one")
        check(server.wait_state("one", first, "processing")["state"] == "processing", "the job never printed")
        queued = server.print_job("one", png, "image/png", name="queued")
        time.sleep(1.5)  # the main loop saves the state once a second at most
        # libcups reads nested collections recursively, without a bound, on the stack of
        # the server's client thread: a request nested deep enough ends the server. Where
        # it did not, SIGKILL does.
        deep_media_col(server)
        if server.process.poll() is None:
            server.process.kill()
        server.process.wait()
        printer.serve()
        server.start()
        p.expect_printers(server, ["one", "spare"], "after the kill")
        state = server.wait_job("one", first, timeout=30)
        check(state["state"] == "aborted" and "aborted-by-system" in state["job-state-reasons"],
              "the interrupted job is %s %s" % (state["state"], state.get("job-state-reasons")))
        state = server.wait_job("one", queued, timeout=60)
        check(state["state"] == "completed", "the queued job ended %s\n%s" % (state["state"], server.logs()))
        p.expect_clean_spool(server, "after the restart")
        after = attributes(server, "one")
        for name in ("document-format-supported", "media-source-supported", "printer-name"):
            check(after.get(name) == before.get(name), "%s was %s, after the restart %s"
                  % (name, before.get(name), after.get(name)))
        sources = after["media-source-supported"]
        check(len(sources) == len(set(sources)), "media-source-supported repeats a value: %s" % sources)
    finally:
        server.stop()
        printer.close()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(g.main(CASES, sys.argv))
