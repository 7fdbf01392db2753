#!/usr/bin/env python3
"""Checks that every #include of the project's own headers points to the same folder or to a
lower floor, and that the conversion worker stands on the automation interface alone.

The floors, bottom up, are the order in which the root CMakeLists.txt adds the source folders.
Run from anywhere: python3 scripts/check-floors.py [ROOT]. Prints each include that breaks a
rule and exits 1 when there is one.
"""
import os
import re
import sys

# Folder -> floor. Folders on one floor do not include each other.
FLOORS = {
    "automation": 0,
    "unicode": 0,
    "files": 1,
    "cells": 2,
    "text": 3,
    "xlsx": 3,
    "xls": 3,
    "workbook": 4,
    "embedded": 5,
    "platform": 6,
    "convert": 7,
    "settings": 7,
    "ui": 8,
    "cli": 8,
    "app": 9,
}
# Includes that the floors alone would allow but the design forbids: the worker sees only the
# automation interface, never a binding or the engine behind it.
FORBIDDEN = {
    "convert": {"cells", "text", "xlsx", "xls", "workbook", "embedded", "platform"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    for folder, floor in FLOORS.items():
        path = os.path.join(root, folder)
        if not os.path.isdir(path):
            continue
        for dirpath, _, names in os.walk(path):
            for name in sorted(names):
                if not name.endswith((".h", ".cpp")):
                    continue
                source = os.path.join(dirpath, name)
                with open(source, encoding="utf-8") as f:
                    text = f.read()
                for target in INCLUDE.findall(text):
                    other = target.split("/")[0]
                    if other not in FLOORS or other == folder:
                        continue
                    where = os.path.relpath(source, root)
                    if FLOORS[other] >= floor:
                        problems.append(f"{where}: includes {target} on floor {FLOORS[other]}, not below floor {floor}")
                    elif other in FORBIDDEN.get(folder, ()):
                        problems.append(f"{where}: includes {target}, which {folder}/ must not use")
    for folder in sorted(os.listdir(root)):
        if (os.path.isfile(os.path.join(root, folder, "CMakeLists.txt")) and folder not in FLOORS
                and folder not in ("tests", "fuzz", "bench", "docs", "scripts", "cmake", "resources")
                and not folder.startswith("build")):
            problems.append(f"{folder}/: a source folder without a floor; add it to FLOORS")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
