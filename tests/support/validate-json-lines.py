#!/usr/bin/python3
"""Checks JSON lines against a JSON Schema (draft 2020-12).

    validate-json-lines.py SCHEMA < LINES

Every line on standard input must be a JSON value that the schema accepts.
Prints one line per line that is not, and exits 1 if there is any.
"""
import json
import sys

import jsonschema


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    bad = 0
    for number, line in enumerate(sys.stdin, 1):
        line = line.rstrip("\n")
        try:
            value = json.loads(line)
        except ValueError as error:
            print(f"line {number}: not JSON ({error}): {line}")
            bad += 1
            continue
        errors = sorted(validator.iter_errors(value), key=lambda e: list(e.absolute_path))
        for error in errors:
            where = "/".join(str(p) for p in error.absolute_path) or "(the object)"
            print(f"line {number}: {where}: {error.message}: {line}")
        bad += 1 if errors else 0
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
