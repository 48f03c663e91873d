"""Checks the output files of one run against each other.

page_check.py agree PAGE STATS CLUSTERS [REPORT ASSIGNMENTS INPUT]
                                          the page parses, holds the seven sections and their plots,
                                          and every number it shows agrees with the two tables; with
                                          the last three, the base composition agrees with the per-read
                                          table, and the report, the per-read table, the cluster table
                                          and the stats tell of the same reads and clusters
page_check.py dom PAGE DOM                a browser's DOM dump of the page holds every section and
                                          every plot mark of the page
Prints "ok" or what is wrong.
"""
import gzip
import json
import re
import sys
from html.parser import HTMLParser

SECTIONS = ["run", "funnel", "cluster-sizes", "rank-abundance", "distance-passes", "base-composition",
            "largest-clusters"]
PLOTS = {"funnel": "funnel-plot", "cluster-sizes": "sizes-plot", "rank-abundance": "rank-plot",
         "distance-passes": "passes-plot", "base-composition": "composition-plot"}


class Page(HTMLParser):
    """Collects, per section: its caption, the plot marks with their titles, texts, and table rows."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.sections = {}
        self.section = None
        self.stack = []
        self.cell = None
        self.row = None
        self.mark = None
        self.text_class = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.stack.append(tag)
        if tag == "section":
            self.section = self.sections.setdefault(
                a.get("id"), {"caption": "", "svgs": [], "marks": [], "texts": [], "rows": []})
        if self.section is None:
            return
        classes = (a.get("class") or "").split()
        if tag == "svg":
            self.section["svgs"].append(a.get("id"))
        elif "mark" in classes:
            self.mark = {"tag": tag, "classes": classes, "title": ""}
            self.section["marks"].append(self.mark)
        elif tag == "text":
            self.text_class = classes
            self.section["texts"].append([classes, ""])
        elif tag == "tr":
            self.row = []
            self.section["rows"].append(self.row)
        elif tag in ("td", "th") and self.row is not None:
            self.row.append("")
        elif tag == "p" and "caption" in classes:
            self.cell = "caption"

    def handle_endtag(self, tag):
        while self.stack and self.stack.pop() != tag:
            pass
        if tag == "section":
            self.section = None
        elif tag in ("rect", "polyline", "circle"):
            self.mark = None
        elif tag == "text":
            self.text_class = None
        elif tag == "tr":
            self.row = None
        elif tag == "p":
            self.cell = None

    def handle_data(self, data):
        if self.section is None:
            return
        if self.cell == "caption":
            self.section["caption"] += data
        elif self.stack and self.stack[-1] == "title" and self.mark is not None:
            self.mark["title"] += data
        elif self.text_class is not None:
            self.section["texts"][-1][1] += data
        elif self.row is not None and self.row:
            self.row[-1] += data


def parse(path):
    page = Page()
    with open(path, encoding="utf-8") as f:
        page.feed(f.read())
    page.close()
    return page.sections


def number(text):
    return int(text.replace(",", ""))


def percent(part, whole):
    return "%.1f" % (100.0 * part / whole if whole else 0.0)


def check_structure(sections):
    assert list(sections) == SECTIONS, list(sections)
    for name, section in sections.items():
        assert section["caption"].strip(), name + " has no caption"
        if name in PLOTS:
            assert section["svgs"] == [PLOTS[name]], (name, section["svgs"])
            # A run without distance passes has no joins to draw; agree checks them against the stats.
            assert section["marks"] or name == "distance-passes", name + " has no marks"


def agree(page_path, stats_path, clusters_path, *run_files):
    sections = parse(page_path)
    check_structure(sections)
    with open(stats_path, encoding="utf-8") as f:
        stats = json.load(f)
    with open(clusters_path, encoding="utf-8") as f:
        clusters = [line.split("\t") for line in f.read().splitlines()[1:]]

    facts = {row[0]: row[1] for row in sections["run"]["rows"]}
    assert number(facts["Reads"]) == stats["records"], facts
    assert number(facts["Clusters"]) == stats["clusters"], facts
    assert facts["Distance D"] == str(stats["settings"]["distance"]), facts
    assert facts["Template"] == stats["settings"]["template"][:200] + ("\u2026" if len(stats["settings"]["template"]) > 200 else ""), facts
    assert facts["Input"] == stats["settings"]["input"], facts
    assert facts["Format"].startswith(stats["input"]["format"].upper() + (", gzip" if stats["input"]["gzip"] else "")
                                      + ", " + format(stats["input"]["bytes"], ",") + " bytes"), facts
    assert facts["Duplicate barcodes (-p)"] == ("removed" if stats["settings"]["remove_duplicate_barcodes"] else "kept")
    assert re.fullmatch(r"[0-9]+\.[0-9]{2} s", facts["Wall-clock time"]), facts
    assert re.fullmatch(r"[0-9]+\.[0-9] MiB", facts["Peak memory"]), facts
    if "barcode_search" in stats:
        search = stats["barcode_search"]
        found = [number(n) for n in re.findall(r"[0-9][0-9,]*", facts["Barcodes found"])]
        assert found == [search["at_start_forward"], search["shifted"], search["reverse_strand"],
                         sum(search["flank_mismatches"].values())], facts
    else:
        assert "Barcode search" not in facts, facts

    # The funnel: every bar's label, count and share of the reads.
    records = stats["records"]
    texts = sections["funnel"]["texts"]
    labels = [t for c, t in texts if "label" in c]
    values = [t for c, t in texts if "value" in c]
    screening = stats["screening"]
    # With --quality, reads left out for a low-quality barcode base (counted as N) get a bar of their own.
    search = stats.get("barcode_search")
    low_quality = search["low_quality"] if search and search["quality"] is not None else None
    expected = [("Reads in", records), ("Template mismatch", screening["template_mismatch"]),
                ("Barcode has N", screening["has_n"] - (low_quality or 0))] + \
               ([("Low-quality barcode base", low_quality)] if low_quality is not None else []) + \
               [("Unknown character", screening["unknown_character"]),
                ("Duplicates removed", stats["duplicates_removed"]), ("Clustered", stats["entries"])]
    assert labels == [label for label, _ in expected], labels
    assert values == ["%s (%s%%)" % (format(n, ","), percent(n, records)) for _, n in expected], values
    assert sum(n for _, n in expected[1:]) == records

    # Cluster sizes, binned from one power of two to the next.
    sizes = {int(k): v for k, v in stats["cluster_sizes"].items()}
    bins = {}
    for size, count in sizes.items():
        bins[size.bit_length() - 1] = bins.get(size.bit_length() - 1, 0) + count
    titles = [m["title"] for m in sections["cluster-sizes"]["marks"]]
    want = []
    for k in sorted(bins):
        lo, hi = 1 << k, (2 << k) - 1
        want.append("%s clusters of 1 read" % format(bins[k], ",") if k == 0 else
                    "%s clusters of %s\u2013%s reads" % (format(bins[k], ","), format(lo, ","), format(hi, ",")))
    assert titles == want, (titles, want)
    singletons = sizes.get(1, 0)
    callout = [t for c, t in sections["cluster-sizes"]["texts"] if "callout" in c]
    assert callout == ["%s singletons (%s%% of clusters)" % (format(singletons, ","),
                                                           percent(singletons, stats["clusters"]))], callout

    # Rank and abundance: the share of the top 1, 10, 100, 1,000 clusters.
    ranked = sorted((size for size, count in sizes.items() for _ in range(count)), reverse=True)
    accepted = screening["accepted"]
    assert sum(ranked) == accepted
    rows = sections["rank-abundance"]["rows"][1:]
    want = [["Top " + format(k, ","), format(sum(ranked[:k]), ","), percent(sum(ranked[:k]), accepted) + "%"]
            for k in (1, 10, 100, 1000) if k <= len(ranked)]
    assert rows == want, (rows, want)
    assert [m["tag"] for m in sections["rank-abundance"]["marks"]] == ["polyline"] + ["circle"] * len(want)

    # Joins per distance pass, and the clusters each leaves.
    titles = [m["title"] for m in sections["distance-passes"]["marks"]]
    assert titles == ["distance %d: %s joins" % (p["distance"], format(p["joins"], ",")) for p in stats["passes"]]
    left = stats["entries"]
    after = [t for c, t in sections["distance-passes"]["texts"] if t.endswith("clusters after")]
    for p, text in zip(stats["passes"], after, strict=True):
        left -= p["joins"]
        assert text == format(left, ",") + " clusters after", text
    assert left == stats["clusters"]

    # The largest clusters: the cluster table's rows with the most reads, ties in report order.
    by_reads = sorted(clusters, key=lambda row: (-int(row[2]), int(row[0])))[:20]
    rows = sections["largest-clusters"]["rows"][1:]
    shown = lambda barcode: barcode if len(barcode) <= 48 else barcode[:48] + "\u2026"
    want = [[format(int(c[0]), ","), format(int(c[2]), ","), percent(int(c[2]), accepted) + "%",
             format(int(c[3]), ","), shown(c[4])] for c in by_reads]
    assert [r[:5] for r in rows] == want, "largest clusters differ from the cluster table"
    if run_files:
        tables(stats, clusters, sections, *run_files)


def tables(stats, clusters, sections, report_path, assignments_path, input_path):
    with open(input_path, "rb") as f:
        data = f.read()
    packed = data.startswith(b"\x1f\x8b")
    text = gzip.decompress(data) if packed else data
    assert stats["input"] == {"format": "fastq" if text.startswith(b"@") else "fasta", "gzip": packed,
                              "bytes": len(text)}, stats["input"]
    members, cluster_of_read = {}, {}
    with open(report_path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith(">"):
                cluster = line[1:]
                members[cluster] = 0
            else:
                cluster_of_read[line.split("\t")[0]] = cluster
                members[cluster] += 1
    with open(assignments_path, encoding="utf-8") as f:
        rows = [line.split("\t") for line in f.read().splitlines()[1:]]
    assert len(rows) == stats["records"], len(rows)
    # Base composition, exactly: the shares of the accepted reads' bases, positions grouped past 120.
    barcodes = [row[2] for row in rows if row[1] in ("clustered", "duplicate")]
    length = len(barcodes[0])
    group = (length + 119) // 120
    want = []
    for first in range(0, length, group):
        counts = [sum(b[first:first + group].count(base) for b in barcodes) for base in "ACGT"]
        want += [percent(n, sum(counts)) for n in counts]
    marks = sections["base-composition"]["marks"][4:]
    assert [re.search(r" ([0-9.]+)%$", m["title"]).group(1) for m in marks] == want, "base composition differs"
    reads, cluster_of_barcode = {}, {}
    for name, status, barcode, cluster, *_ in rows:
        if status not in ("clustered", "duplicate"):
            assert barcode == cluster == "", name
            continue
        assert (status == "clustered") == (name in cluster_of_read), name
        assert status == "duplicate" or cluster_of_read[name] == cluster, name
        # Equal barcodes always share a cluster, duplicates included.
        assert cluster_of_barcode.setdefault(barcode, cluster) == cluster, name
        reads[cluster] = reads.get(cluster, 0) + 1
    assert sum(reads.values()) == stats["screening"]["accepted"]
    assert [c[0] for c in clusters] == list(members) == [str(n + 1) for n in range(stats["clusters"])]
    for number, member_count, read_count, _, representative, *_ in clusters:
        assert (int(member_count), int(read_count)) == (members[number], reads[number]), number
        assert cluster_of_barcode[representative] == number, number


def dom(page_path, dom_path):
    source = parse(page_path)
    rendered = parse(dom_path)
    check_structure(rendered)
    for name in PLOTS:
        assert [m["tag"] for m in rendered[name]["marks"]] == [m["tag"] for m in source[name]["marks"]], name


if __name__ == "__main__":
    try:
        {"agree": agree, "dom": dom}[sys.argv[1]](*sys.argv[2:])
    except AssertionError as failure:
        print("failed:", failure)
        sys.exit(1)
    print("ok", end="")
