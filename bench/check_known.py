#!/usr/bin/env python3
"""Checks tarnwell --known against what generate_reads drew.

Usage: check_known.py LIBRARY SOURCES ASSIGNMENTS D

LIBRARY is the file of --library, SOURCES that of --sources, ASSIGNMENTS the
--assignments table of a run with --known LIBRARY and -d D. Every read drawn
from an entry whose barcode, as read, is at most D substitutions from that
entry must be assigned to it, unless another entry is as near or nearer (then
it is ambiguous, or another entry's); those are looked up among the read's
neighbours. Prints the counts and exits with 1 on any read that breaks this.
"""
import itertools
import sys


def neighbours(barcode, distance):
    """Every barcode within distance substitutions of barcode."""
    for d in range(distance + 1):
        for positions in itertools.combinations(range(len(barcode)), d):
            choices = [[b for b in "ACGT" if b != barcode[p]] for p in positions]
            for bases in itertools.product(*choices):
                letters = list(barcode)
                for p, b in zip(positions, bases):
                    letters[p] = b
                yield "".join(letters)


def hamming(a, b):
    return sum(x != y for x, y in zip(a, b))


def main():
    library_path, sources_path, assignments_path, distance = sys.argv[1:5]
    distance = int(distance)
    line_of = {}
    barcode_of = {}
    entry_at = {}
    with open(library_path) as library:
        next(library)
        for number, line in enumerate(library, 1):
            entry, barcode = line.rstrip("\n").split("\t")[:2]
            line_of[entry] = number
            barcode_of[entry] = barcode
            entry_at[barcode] = entry
    counts = {"drawn within D": 0, "assigned to it": 0, "another as near": 0, "broken": 0}
    with open(sources_path) as sources, open(assignments_path) as assignments:
        next(assignments)
        for source_line, row in zip(sources, assignments):
            name, source = source_line.split()
            fields = row.rstrip("\n").split("\t")
            if fields[0] != name:
                sys.exit(f"the tables disagree: {name} against {fields[0]}")
            if source not in barcode_of or fields[2] == "":
                continue
            d = hamming(fields[2], barcode_of[source])
            if d > distance:
                continue
            counts["drawn within D"] += 1
            if fields[1] in ("known", "duplicate") and int(fields[3]) == line_of[source]:
                counts["assigned to it"] += 1
                continue
            rivals = [entry_at[n] for n in neighbours(fields[2], d) if n in entry_at and entry_at[n] != source]
            if rivals:
                counts["another as near"] += 1
            else:
                counts["broken"] += 1
                print("broken:", row.rstrip("\n"), "drawn from", source)
    for what, count in counts.items():
        print(f"{what}: {count}")
    sys.exit(1 if counts["broken"] else 0)


main()
