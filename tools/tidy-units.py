#!/usr/bin/env python3
"""Prints the translation units of a unity-built tree that clang-tidy reads.

Usage: tidy-units.py <compile_commands.json> <source>...

A unity unit #includes several of a target's sources, so the system and
Windows headers are parsed and matched once per unit instead of once per
file; the findings still name the source file and line. A unit is printed
when it holds one of the given sources not already held by a unit printed
before it (the upgrade fixtures compile the reference container's sources a
second time). Largest first, so that parallel jobs end together.
"""
import json
import os
import re
import sys

INCLUDE = re.compile(r'^#include "(.+)"\s*$')


def unit_sources(path):
    if not path.endswith('.cxx'):
        return [path]
    with open(path, encoding='utf-8') as unit:
        return [m.group(1) for m in map(INCLUDE.match, unit) if m]


def main():
    database, wanted = sys.argv[1], {os.path.realpath(s) for s in sys.argv[2:]}
    with open(database, encoding='utf-8') as db:
        entries = json.load(db)
    chosen, covered = [], set()
    for entry in entries:
        unit = os.path.join(entry['directory'], entry['file'])
        held = {os.path.realpath(s) for s in unit_sources(unit)} & wanted
        if held - covered:
            covered |= held
            chosen.append((len(held), unit))
    missing = wanted - covered
    for source in sorted(missing):
        print(f'tidy-units: {source} is in no unit of {database}', file=sys.stderr)
    for _, unit in sorted(chosen, reverse=True):
        print(unit)
    return 1 if missing else 0


if __name__ == '__main__':
    sys.exit(main())
