#!/usr/bin/env python3
"""Checks a quillmorne-convert report against docs/report.schema.json.

    checkreport.py REPORT.json [SCHEMA.json]     ("-" reads the report from standard input)

Exits with 0 when the report is valid JSON, valid UTF-8 and valid under the schema; otherwise
prints what is wrong and exits with 1.
"""
import json
import os
import sys

import jsonschema


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    schema_path = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "..", "docs", "report.schema.json")
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    raw = sys.stdin.buffer.read() if sys.argv[1] == "-" else open(sys.argv[1], "rb").read()
    try:
        report = json.loads(raw.decode("utf-8", errors="strict"))
    except (UnicodeDecodeError, ValueError) as e:
        print(f"not a JSON text in UTF-8: {e}")
        return 1
    validator = jsonschema.Draft202012Validator(schema)
    errors = sorted(validator.iter_errors(report), key=lambda e: list(e.path))
    for error in errors:
        print(f"{'/'.join(str(p) for p in error.path) or '(root)'}: {error.message}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
