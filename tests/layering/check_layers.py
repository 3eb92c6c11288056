#!/usr/bin/env python3
"""The layers point only down: no source includes a header of a layer above its own
(or of a sibling layer), and no layer's library links a library above it.

Layers, from the bottom: common; jbig and options (siblings); gdi, the driver core;
the front ends (filter, printerapp), which are siblings too. tools/ stands apart: the
stream reader keeps its own copy of the stream's format and includes no layer, so it is
a leaf beside jbig and options, and the printer application checks the streams it is
sent with it."""
import os
import re
import sys

RANK = {"common": 0, "jbig": 1, "options": 1, "tools": 1, "gdi": 2, "filter": 3, "printerapp": 3}
LIBRARY_LAYER = {"gdi_common": "common", "gdi_jbig": "jbig", "gdi_options": "options",
                 "gdi_core": "gdi", "gdi_filter": "filter", "gdi_printerapp": "printerapp",
                 "gdi_decode": "tools"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def allowed(source_layer, target_layer):
    if target_layer == source_layer:
        return True
    if source_layer == "tools":
        return False
    return RANK[target_layer] < RANK[source_layer]


def include_problems(top):
    problems = []
    for layer in RANK:
        folder = os.path.join(top, layer)
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            if not name.endswith((".h", ".cpp", ".c")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for included in INCLUDE.findall(text):
                head = included.split("/")[0]
                if "/" not in included:
                    problems.append("%s/%s includes \"%s\" without its folder" % (layer, name, included))
                elif head in RANK and not allowed(layer, head):
                    problems.append("%s/%s includes %s: %s is not below %s" %
                                    (layer, name, included, head, layer))
    return problems


def link_problems(top):
    problems = []
    for layer in RANK:
        cmake = os.path.join(top, layer, "CMakeLists.txt")
        if not os.path.exists(cmake):
            continue
        with open(cmake, encoding="utf-8") as f:
            text = f.read()
        for library, linked in re.findall(r"target_link_libraries\(\s*(\S+)([^)]*)\)", text):
            if library not in LIBRARY_LAYER:
                continue
            for other in linked.split():
                if other in LIBRARY_LAYER and not allowed(LIBRARY_LAYER[library], LIBRARY_LAYER[other]):
                    problems.append("%s links %s, a layer that is not below it" % (library, other))
    return problems


def main():
    top = sys.argv[1]
    problems = include_problems(top) + link_problems(top)
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print("layers point only down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
