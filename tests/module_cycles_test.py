#!/usr/bin/env python3
"""The include-circle check: it finds a circle in a small tree made for it,
including one through a translation unit of a class split over several
sources, and the program's sources have none.

    module_cycles_test.py TOOL SRC_DIR
"""
import os
import subprocess
import sys
import tempfile


def write(root, path, text):
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w", encoding="utf-8") as handle:
        handle.write(text)


def check(tool, root):
    return subprocess.run([sys.executable, tool, root], capture_output=True, text=True)


def main(tool, src):
    failures = []
    with tempfile.TemporaryDirectory() as root:
        write(root, "grid/Grid.h", "#pragma once\n")
        write(root, "grid/Grid.cpp", '#include "grid/Grid.h"\n')
        # A second translation unit of Grid reaches a module that includes Grid.
        write(root, "grid/GridReader.cpp", '#include "grid/Grid.h"\n#include "input/Reader.h"\n')
        write(root, "input/Reader.h", '#include "grid/Grid.h"\n')
        result = check(tool, root)
        if result.returncode != 1 or "grid/Grid, input/Reader" not in result.stdout:
            failures.append("the circle through grid/GridReader.cpp was not found:\n" + result.stdout)
        os.remove(os.path.join(root, "input/Reader.h"))
        write(root, "input/Reader.h", "#pragma once\n")
        result = check(tool, root)
        if result.returncode != 0:
            failures.append("a tree without circles was refused:\n" + result.stdout)
    result = check(tool, src)
    if result.returncode != 0:
        failures.append("the program's modules include each other in a circle:\n" + result.stdout)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
