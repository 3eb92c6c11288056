#!/usr/bin/env python3
"""What the printer application tells its users in their words: the driver's settings
labelled on the web page in the browser's language and in strings files for IPP clients,
and each job's state message (a setting the printer cannot do, why a job was aborted) on
the printer's job messages page.

Usage: labels_test.py CASE    (exit 77, "skipped", when a needed tool is missing)
"""

import html
import http.client
import os
import sys

import apptest as a
import gdicheck as g
from gdicheck import check
from printerapp_test import skip_under_32bit_arm_emulation

LANGUAGES = ["en", "de", "fr", "es", "it", "ja"]
SETTINGS = ["gdi-brightness", "gdi-contrast", "gdi-toner-save", "gdi-edge-smoothing", "gdi-long-edge-feed"]
A4_DOTS = (4961, 7016)


def get(server, path, language=None):
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        connection.request("GET", path, headers={"Accept-Language": language} if language else {})
        response = connection.getresponse()
        return response.status, response.read().decode("utf-8", "replace")
    finally:
        connection.close()


def strings(text):
    """{key: text} of a strings file ("key" = "text"; lines)."""
    pairs = {}
    for line in text.splitlines():
        if line.startswith('"') and '" = "' in line and line.endswith('";'):
            key, value = line[1:-2].split('" = "', 1)
            pairs[key] = value
    return pairs


def strings_attributes(server, printer):
    """The raw Get-Printer-Attributes answer for the strings attributes, and its values."""
    body = a.encode_request(a.OP_GET_PRINTER_ATTRIBUTES, server.printer_uri(printer), [
        (a.TAG_KEYWORD, "requested-attributes", ["printer-strings-languages-supported", "printer-strings-uri"])])
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        connection.request("POST", "/ipp/print/" + printer, body=body, headers={"Content-Type": "application/ipp"})
        data = connection.getresponse().read()
    finally:
        connection.close()
    return data, a.decode_response(data)[1]


def case_labels(work):
    """Every setting's label, from the strings file of each language, on the defaults page asked
    for in that language; IPP clients are told the languages once, however often they ask."""
    skip_under_32bit_arm_emulation()

    def body(server):
        server.add_printer("one", "gdi_laser_1")
        for _ in range(3):
            raw, values = strings_attributes(server, "one")
            check(raw.count(b"printer-strings-languages-supported") == 1,
                  "printer-strings-languages-supported appears %d times"
                  % raw.count(b"printer-strings-languages-supported"))
            check(values["printer-strings-languages-supported"] == LANGUAGES,
                  "languages %s" % values["printer-strings-languages-supported"])
        uri = values["printer-strings-uri"][0]
        check(uri.startswith("http://localhost:%d/" % server.port), "printer-strings-uri %s" % uri)
        labels = {}
        for language in LANGUAGES:
            status, text = get(server, uri.split("%d" % server.port, 1)[1].replace("-en.", "-%s." % language))
            check(status == 200, "the %s strings file: HTTP %d" % (language, status))
            labels[language] = strings(text)
            check(set(labels[language]) == set(labels["en"]), "%s lacks %s" % (
                language, set(labels["en"]) - set(labels[language])))
            status, page = get(server, "/one/printing", language)
            page = html.unescape(page)
            for name in SETTINGS:
                check(labels[language][name] + ":" in page,
                      "the %s defaults page does not label %s as %r" % (language, name, labels[language][name]))
        check(labels["en"]["gdi-brightness"] == "Brightness: -5 darkest ... +5 lightest",
              "the brightness label %r" % labels["en"]["gdi-brightness"])
        check(labels["fr"]["gdi-brightness"].startswith("Luminosité"), labels["fr"]["gdi-brightness"])
    a.with_server(work, body)


def case_job_messages(work):
    """The job messages page shows each job's state message: the revised setting of a job
    that printed, the reason of one that was aborted."""
    skip_under_32bit_arm_emulation()

    def body(server):
        server.add_printer("one", "gdi_laser_1")
        page = os.path.join(work, "page.pwg")
        a.write_pwg(page, [a.PwgPage(A4_DOTS[0], A4_DOTS[1], a.test_card_line(*A4_DOTS))])
        printed = server.print_job("one", page, "image/pwg-raster", [
            (a.TAG_KEYWORD, "sides", "two-sided-long-edge"),
            (a.TAG_BEGIN_COLLECTION, "media-col", [[(a.TAG_KEYWORD, "media-source", "manual")]])], name="manual")
        cut = os.path.join(work, "cut.pwg")
        with open(page, "rb") as f:
            whole = f.read()
        with open(cut, "wb") as f:
            f.write(whole[:len(whole) // 2])
        aborted = server.print_job("one", cut, "image/pwg-raster", name="cut")
        states = {job: server.wait_job("one", job) for job in (printed, aborted)}
        check(states[aborted]["state"] == "aborted", "the cut job ended %s" % states[aborted]["state"])
        note = "Duplex (two-sided, long edge) is not available with the manual tray; printing one-sided"
        status, text = get(server, "/one/messages", "en")
        check(status == 200, "the job messages page: HTTP %d" % status)
        text = html.unescape(text)
        for job, says in ((printed, note), (aborted, "ended within page 1")):
            message = " ".join(states[job].get("job-state-message", []))
            check(says in message, "job %d: job-state-message %r" % (job, message))
            check("<td>%d</td>" % job in text and message in text,
                  "the job messages page lacks job %d's %r" % (job, message))
        check(get(server, "/one/", "en")[1].count("/one/messages") > 0, "the printer page has no link to it")
    a.with_server(work, body)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(g.main(CASES, sys.argv))
