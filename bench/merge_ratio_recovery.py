#!/usr/bin/env python3
"""How well a clustering recovers the true barcodes of generated reads.

Usage: merge_ratio_recovery.py ORIGINS ASSIGNMENTS [MIN_READS]

ORIGINS is the file generate_reads --origins writes (read, true barcode
number, its bases); ASSIGNMENTS the --assignments table of a tarnwell run on
the same reads. Over the true barcodes with at least MIN_READS (default 50)
accepted reads, prints:
- kept: the share whose exact reads (barcode equal to the true one) share no
  cluster with the exact reads of another true barcode;
- errors placed: the share of their accepted reads with a wrong barcode that
  landed in the cluster of their true barcode's exact reads.
"""
import collections
import sys


def main():
    origins_path, assignments_path = sys.argv[1], sys.argv[2]
    min_reads = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    origin = {}
    with open(origins_path) as origins:
        for line in origins:
            name, number, bases = line.rstrip("\n").split("\t")
            origin[name] = (int(number), bases)
    reads = collections.Counter()
    exact_cluster = {}
    true_barcodes_of_cluster = collections.defaultdict(set)
    error_reads = []
    with open(assignments_path) as table:
        header = table.readline().rstrip("\n").split("\t")
        read_at, barcode_at, cluster_at = header.index("read"), header.index("barcode"), header.index("cluster")
        for line in table:
            fields = line.rstrip("\n").split("\t")
            if fields[cluster_at] == "":
                continue
            number, bases = origin[fields[read_at]]
            reads[number] += 1
            cluster = int(fields[cluster_at])
            if fields[barcode_at] == bases:
                exact_cluster[number] = cluster
                true_barcodes_of_cluster[cluster].add(number)
            else:
                error_reads.append((number, cluster))
    counted = {number for number, count in reads.items() if count >= min_reads and number in exact_cluster}
    kept = sum(1 for number in counted if len(true_barcodes_of_cluster[exact_cluster[number]]) == 1)
    errors = [(number, cluster) for number, cluster in error_reads if number in counted]
    placed = sum(1 for number, cluster in errors if exact_cluster[number] == cluster)
    print(f"true barcodes with {min_reads}+ reads: {len(counted)}")
    print(f"kept as their own cluster: {kept} ({100.0 * kept / max(len(counted), 1):.2f}%)")
    print(f"error reads placed with their true barcode: {placed} of {len(errors)} "
          f"({100.0 * placed / max(len(errors), 1):.2f}%)")


if __name__ == "__main__":
    main()
