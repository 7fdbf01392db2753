#!/usr/bin/env python3
"""Checks that every #include of the project's own headers points to the same folder or to a
lower floor, that the conversion worker stands on the automation interface alone, and that every
source folder builds from a CMakeLists.txt of its own and says in its main header what it holds.

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
# Each folder's main header (app/ has only its main.cpp). It opens, after `#pragma once`, with a
# paragraph that says what the folder holds and begins with the folder's name: "// text/: ...".
MAIN_FILES = {
    "automation": "automation.h",
    "unicode": "textdecoder.h",
    "files": "filesystem.h",
    "cells": "cell.h",
    "text": "textimport.h",
    "xlsx": "xlsxwriter.h",
    "xls": "xlswriter.h",
    "workbook": "workbooksaver.h",
    "embedded": "embeddedapplication.h",
    "platform": "binding.h",
    "convert": "mergeobject.h",
    "settings": "settingsfile.h",
    "ui": "mainwindow.h",
    "cli": "converttool.h",
    "app": "main.cpp",
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_problems(root, folder):
    """What the folder lacks: its CMakeLists.txt, its main header, or the paragraph that opens it."""
    problems = []
    if not os.path.isfile(os.path.join(root, folder, "CMakeLists.txt")):
        problems.append(f"{folder}/: no CMakeLists.txt of its own")
    main = os.path.join(folder, MAIN_FILES.get(folder, ""))
    if folder not in MAIN_FILES or not os.path.isfile(os.path.join(root, main)):
        return problems + [f"{folder}/: no main header; name it in MAIN_FILES"]
    with open(os.path.join(root, main), encoding="utf-8") as f:
        lines = [line for line in f.read().splitlines() if line.strip() != "#pragma once"]
    if not lines or not lines[0].startswith(f"// {folder}/"):
        problems.append(f"{main}: does not open with a paragraph on what {folder}/ holds (\"// {folder}/: ...\")")
    return problems


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    for folder, floor in FLOORS.items():
        path = os.path.join(root, folder)
        if not os.path.isdir(path):
            continue
        problems += folder_problems(root, folder)
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
