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

    # The open element each end tag closes.
    CLOSES = {"section": "section", "rect": "mark", "polyline": "mark", "circle": "mark", "text": "text",
              "tr": "row", "p": "caption"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.sections = {}
        self.stack = []
        self.section = self.mark = self.text = self.row = self.caption = None

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
            self.mark = {"tag": tag, "title": ""}
            self.section["marks"].append(self.mark)
        elif tag == "text":
            self.text = [classes, ""]
            self.section["texts"].append(self.text)
        elif tag == "tr":
            self.row = []
            self.section["rows"].append(self.row)
        elif tag in ("td", "th") and self.row is not None:
            self.row.append("")
        elif tag == "p" and "caption" in classes:
            self.caption = True

    def handle_endtag(self, tag):
        while self.stack and self.stack.pop() != tag:
            pass
        if tag in self.CLOSES:
            setattr(self, self.CLOSES[tag], None)

    def handle_data(self, data):
        if self.section is None:
            return
        if self.caption:
            self.section["caption"] += data
        elif self.stack and self.stack[-1] == "title" and self.mark is not None:
            self.mark["title"] += data
        elif self.text is not None:
            self.text[1] += data
        elif self.row:
            self.row[-1] += data


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def parse(path):
    page = Page()
    page.feed(read(path))
    page.close()
    return page.sections


def number(text):
    return int(text.replace(",", ""))


def commas(n):
    return format(n, ",")


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


def rows_of(path):
    return [line.split("\t") for line in read(path).splitlines()[1:]]


def agree(page_path, stats_path, clusters_path, *run_files):
    sections = parse(page_path)
    check_structure(sections)
    stats, clusters = json.loads(read(stats_path)), rows_of(clusters_path)
    settings, screening, records, c = stats["settings"], stats["screening"], stats["records"], commas

    facts = {row[0]: row[1] for row in sections["run"]["rows"]}
    assert (number(facts["Reads"]), number(facts["Clusters"])) == (records, stats["clusters"]), facts
    assert facts["Distance D"] == str(settings["distance"]) and facts["Input"] == settings["input"], facts
    assert facts["Template"] == settings["template"][:200] + ("\u2026" if len(settings["template"]) > 200 else ""), facts
    assert facts["Format"].startswith(stats["input"]["format"].upper() + (", gzip" if stats["input"]["gzip"] else "")
                                      + ", " + c(stats["input"]["bytes"]) + " bytes"), facts
    assert facts["Duplicate barcodes (-p)"] == ("removed" if settings["remove_duplicate_barcodes"] else "kept")
    assert re.fullmatch(r"[0-9]+\.[0-9]{2} s", facts["Wall-clock time"]), facts
    assert re.fullmatch(r"[0-9]+\.[0-9] MiB", facts["Peak memory"]), facts
    search = stats.get("barcode_search")
    if search:
        found = [number(n) for n in re.findall(r"[0-9][0-9,]*", facts["Barcodes found"])]
        assert found == [search["at_start_forward"], search["shifted"], search["reverse_strand"],
                         sum(search["flank_mismatches"].values())], facts
    else:
        assert "Barcode search" not in facts, facts

    # The funnel: every bar's label, count and share of the reads. With --quality, reads left out for a
    # low-quality barcode base (counted as N) get a bar of their own.
    texts = sections["funnel"]["texts"]
    low_quality = search["low_quality"] if search and search["quality"] is not None else None
    expected = [("Reads in", records), ("Template mismatch", screening["template_mismatch"]),
                ("Barcode has N", screening["has_n"] - (low_quality or 0))] + \
               ([("Low-quality barcode base", low_quality)] if low_quality is not None else []) + \
               [("Unknown character", screening["unknown_character"]),
                ("Duplicates removed", stats["duplicates_removed"]), ("Clustered", stats["entries"])]
    assert [t for k, t in texts if "label" in k] == [label for label, _ in expected], texts
    assert [t for k, t in texts if "value" in k] == ["%s (%s%%)" % (c(n), percent(n, records)) for _, n in expected]
    assert sum(n for _, n in expected[1:]) == records

    # Cluster sizes, binned from one power of two to the next.
    sizes = {int(k): v for k, v in stats["cluster_sizes"].items()}
    bins = {}
    for size, count in sizes.items():
        bins[size.bit_length() - 1] = bins.get(size.bit_length() - 1, 0) + count
    def counted(n, one, many):  # "1 cluster", "2 clusters"
        return "%s %s" % (c(n), one if n == 1 else many)
    want = [counted(bins[k], "cluster", "clusters") + (" of 1 read" if k == 0 else
            " of %s\u2013%s reads" % (c(1 << k), c((2 << k) - 1))) for k in sorted(bins)]
    assert [m["title"] for m in sections["cluster-sizes"]["marks"]] == want, want
    singletons = sizes.get(1, 0)
    callout = [t for k, t in sections["cluster-sizes"]["texts"] if "callout" in k]
    assert callout == ["%s (%s%% of clusters)" % (counted(singletons, "singleton", "singletons"),
                                                   percent(singletons, stats["clusters"]))]

    # Rank and abundance: the share of the top 1, 10, 100, 1,000 clusters.
    ranked = sorted((size for size, count in sizes.items() for _ in range(count)), reverse=True)
    accepted = screening["accepted"]
    assert sum(ranked) == accepted
    want = [["Top " + c(k), c(sum(ranked[:k])), percent(sum(ranked[:k]), accepted) + "%"]
            for k in (1, 10, 100, 1000) if k <= len(ranked)]
    assert sections["rank-abundance"]["rows"][1:] == want, want
    assert [m["tag"] for m in sections["rank-abundance"]["marks"]] == ["polyline"] + ["circle"] * len(want)

    # Joins per distance pass, and the clusters each leaves.
    titles = [m["title"] for m in sections["distance-passes"]["marks"]]
    assert titles == ["distance %d: %s" % (p["distance"], counted(p["joins"], "join", "joins")) for p in stats["passes"]]
    left = stats["entries"]
    after = [t for k, t in sections["distance-passes"]["texts"] if t.endswith(" after")]
    for p, text in zip(stats["passes"], after, strict=True):
        left -= p["joins"]
        assert text == counted(left, "cluster after", "clusters after"), text
    assert left == stats["clusters"]

    # The largest clusters: the cluster table's rows with the most reads, ties in report order.
    by_reads = sorted(clusters, key=lambda row: (-int(row[2]), int(row[0])))[:20]
    want = [[c(int(r[0])), c(int(r[2])), percent(int(r[2]), accepted) + "%", c(int(r[3])),
             r[4] if len(r[4]) <= 48 else r[4][:48] + "\u2026"] for r in by_reads]
    assert [r[:5] for r in sections["largest-clusters"]["rows"][1:]] == want, "largest clusters differ"
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
    for line in read(report_path).splitlines():
        if line.startswith(">"):
            cluster = line[1:]
            members[cluster] = 0
        else:
            cluster_of_read[line.split("\t")[0]] = cluster
            members[cluster] += 1
    rows = rows_of(assignments_path)
    assert len(rows) == stats["records"], len(rows)
    # Base composition, exactly: the shares of the accepted reads' bases, positions grouped past 120.
    barcodes = [row[2] for row in rows if row[1] in ("clustered", "duplicate")]
    group = (len(barcodes[0]) + 119) // 120
    want = []
    for first in range(0, len(barcodes[0]), group):
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
