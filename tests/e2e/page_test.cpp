// The --page file: its numbers agree with the stats and cluster tables of the
// same run (which agree with the report and the per-read table), it is the
// same from run to run, hostile names cannot break it, it
// stays small, and a real browser renders every section and plot mark.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

// Runs the page checker (python3) and returns "ok" or its complaint.
std::string page_check(const std::vector<std::string>& args) {
  std::string command = std::string("python3 '") + TARNWELL_PAGE_CHECK + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  return command_output(command + " 2>&1");
}

struct PageRun {
  const char* name;
  bool fastq_gzip;
  std::vector<std::string> options;
  size_t common_prefix = 0;  // bases put before every read, all barcode: long barcodes that agree in their first words
};

TEST(Page, AgreesWithTheTablesAndIsTheSameEveryRun) {
  const std::vector<TestRead> reads = make_test_reads(1500, 11);
  const PageRun runs[] = {
      {"distance 1", false, {"-d", "1"}},
      {"distance 2, -p, gzip FASTQ", true, {"-d", "2", "-p"}},
      {"distance 0 with -p: no pass", false, {"-d", "0", "-p"}},
      {"distance 0, one job", false, {"-d", "0", "--jobs", "1"}},
      {"barcode search with qualities", true, {"-d", "1", "--quality", "30", "--window", "2", "--both-strands"}},
      {"38-base barcodes", false, {"-d", "1"}, 32},
      {"306-base barcodes, -p", false, {"-d", "1", "-p"}, 300},
  };
  for (const PageRun& run : runs) {
    SCOPED_TRACE(run.name);
    ScratchDir dir;
    const std::string input = run.fastq_gzip ? "in.fq.gz" : "in.fa";
    std::vector<TestRead> shown = reads;
    std::string prefix;
    for (size_t i = 0; i < run.common_prefix; ++i) prefix += "ACGGT"[i % 5];
    for (TestRead& read : shown) read.sequence = prefix + read.sequence;
    const std::string templ = std::string(run.common_prefix, 'N') + kTestTemplate;
    dir.write(input, run.fastq_gzip ? gzip_member(as_fastq(shown)) : as_fasta(shown));
    const CliResult first =
        run_tarnwell(dir, with({"-i", input, "-o", "out.txt", "-t", templ, "--stats", "s.json", "--page", "p.html",
                                "--cluster-table", "c.tsv", "--assignments", "a.tsv"},
                               run.options));
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(page_check({"agree", dir.file("p.html"), dir.file("s.json"), dir.file("c.tsv"), dir.file("out.txt"),
                          dir.file("a.tsv"), dir.file(input)}),
              "ok");
    const std::string page = without_varying_figures(dir.read("p.html"));
    const std::string report = dir.read("out.txt");
    // Without the tables the page is written from what the report noted: the
    // same page on any number of jobs (either engine: the differential test),
    // and nothing else the run writes changes with it.
    const std::vector<std::string> alone =
        with({"-i", input, "-o", "out.txt", "-t", templ, "--jobs", "3"}, run.options);
    const CliResult plain = run_tarnwell(dir, alone);
    EXPECT_EQ(plain.err, first.err);
    ASSERT_EQ(remove(dir.file("p.html").c_str()), 0);
    const CliResult second = run_tarnwell(dir, with(alone, {"--page", "p.html"}));
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, plain.out);
    EXPECT_EQ(second.err, plain.err);
    EXPECT_EQ(dir.read("out.txt"), report);
    EXPECT_EQ(without_varying_figures(dir.read("p.html")), page);
  }
}

// The largest clusters as the cluster table has them: numbered in report
// order, and a tie of barcodes within a cluster goes to the first in letter
// order, shown with the first read that carries it.
TEST(Page, NamesTheLargestClustersAsTheTableDoes) {
  ScratchDir dir;
  dir.write("in.fa", ">r1\nAG\n>r2\nCC\n>r3\nCA\n>r4\nCC\n>r5\nCA\n");
  for (const std::string& binary : kBothBinaries) {
    SCOPED_TRACE(binary);
    ASSERT_EQ(run_tarnwell(dir, {"-i", "in.fa", "-o", "out.txt", "-d", "1", "-t", "NN", "--page", "p.html"}, on(binary))
                  .status,
              0);
    const std::string page = dir.read("p.html");
    const std::string rows =
        "<tr><td class=\"number\">2</td><td class=\"number\">4</td><td class=\"number\">80.0%</td>"
        "<td class=\"number\">2</td><td class=\"barcode\">CA</td><td class=\"name\">r3</td></tr>\n"
        "<tr><td class=\"number\">1</td><td class=\"number\">1</td><td class=\"number\">20.0%</td>"
        "<td class=\"number\">1</td><td class=\"barcode\">AG</td><td class=\"name\">r1</td></tr>\n</tbody>";
    EXPECT_NE(page.find(rows), std::string::npos) << page.substr(page.find("largest-clusters"));
    // Four reads in five in one cluster: D is too large for two bases, and the page says so.
    EXPECT_NE(page.find("<p class=\"callout\">Cluster 2 holds 80.0% of the clustered reads: at distance 1"),
              std::string::npos);
  }
  // At distance 0 the largest cluster holds two reads in five: no callout. One read: every noun singular.
  ASSERT_EQ(run_tarnwell(dir, {"-i", "in.fa", "-o", "out.txt", "-d", "0", "-t", "NN", "--page", "p.html"}).status, 0);
  EXPECT_EQ(dir.read("p.html").find("<p class=\"callout\""), std::string::npos);
  dir.write("in.fa", ">r1\nAG\n");
  ASSERT_EQ(run_tarnwell(dir, {"-i", "in.fa", "-o", "out.txt", "-d", "1", "-t", "NN", "--page", "p.html"}).status, 0);
  const std::string page = dir.read("p.html");
  for (const char* singular : {"1 read, 1 clustered at distance 1 into 1 cluster</p>",
                               ">1 singleton (100.0% of clusters)<", "distance 1: 0 joins", ">1 cluster after<"})
    EXPECT_NE(page.find(singular), std::string::npos) << singular;
}

TEST(Page, EscapesHostileNamesAndPaths) {
  ScratchDir dir;
  const std::string input = "<script>&amp;\"q'\xff.fa";
  dir.write(input, ">r1<b &amp;\"'\xfe\x01\nAC\n>r2\nAC\n>r3\nGT\n");
  const CliResult result =
      run_tarnwell(dir, {"-i", input, "-o", "o<i>&.txt", "-d", "0", "-t", "NN", "--page", "p.html"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string page = dir.read("p.html");
  for (const char* markup : {"<script", "<b ", "<i>", "\xff", "\xfe", "\x01"})
    EXPECT_EQ(page.find(markup), std::string::npos) << markup;
  for (const char* escaped : {"&lt;script&gt;&amp;amp;&quot;q&#39;&#xFFFD;.fa", "o&lt;i&gt;&amp;.txt",
                              "r1&lt;b &amp;amp;&quot;&#39;&#xFFFD;&#xFFFD;"})
    EXPECT_NE(page.find(escaped), std::string::npos) << escaped;
  EXPECT_EQ(page_check({"dom", dir.file("p.html"), dir.file("p.html")}), "ok");
}

// Plots are binned and long barcodes and names cut, so neither many clusters nor long barcodes grow the page.
TEST(Page, StaysSmall) {
  ScratchDir dir;
  CaseRandom random(7);
  auto random_bases = [&](int count) {
    std::string bases(count, 'A');
    for (char& base : bases) base = "ACGT"[random.below(4)];
    return bases;
  };
  std::string many;
  for (int r = 0; r < 60000; ++r) many += ">r" + std::to_string(r) + "\n" + random_bases(14) + "\n";
  dir.write("many.fa", many);
  std::string long_reads;
  for (int r = 0; r < 30; ++r) long_reads += ">" + std::string(5000, 'n') + "\n" + random_bases(3000) + "\n";
  dir.write("long.fa", long_reads);
  for (const auto& [input, templ] :
       {std::pair<std::string, std::string>{"many.fa", "NNNNNNNNNNNNNN"}, {"long.fa", std::string(3000, 'N')}}) {
    SCOPED_TRACE(input);
    const CliResult result = run_tarnwell(dir, {"-i", input, "-o", "out.txt", "-d", "1", "-t", templ, "--page",
                                                "p.html", "--s", "s.json", "--c", "c.tsv"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_LT(dir.read("p.html").size(), 200000u);
    EXPECT_EQ(page_check({"agree", dir.file("p.html"), dir.file("s.json"), dir.file("c.tsv")}), "ok");
  }
}

// Runs the browser on a page with one more option (--screenshot=..., --dump-dom), headless, offline, in a
// fresh profile, in a window width pixels wide; returns what it printed on standard output.
std::string run_browser(const std::string& browser, const ScratchDir& dir, const std::string& action,
                        const std::string& page = "p.html", int width = 900) {
  const std::string profile = dir.file("profile");
  const std::string command =
      browser +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking "
      "--disable-component-update --disable-sync --hide-scrollbars --window-size=" +
      std::to_string(width) + ",3500 --user-data-dir='" + profile + "' " + action + " 'file://" + dir.file(page) +
      "' 2> /dev/null";
  const std::string output = command_output(command);
  std::system(("rm -rf '" + profile + "'").c_str());
  return output;
}

// The first installed of the browsers the CI script installs (the shell's command -v takes one name at a time),
// or "" when the test is to be skipped. CI installs a browser and says so: there a missing one is a failure.
std::string find_browser() {
  std::string browser =
      command_output("for b in chromium-headless-shell chromium; do command -v \"$b\" && break; done");
  if (!browser.empty()) browser.pop_back();
  const char* required = std::getenv("TARNWELL_BROWSER_REQUIRED");
  if (browser.empty() && required != nullptr && std::string(required) == "1") ADD_FAILURE() << "no browser installed";
  return browser;
}

// The shipped example's page in a real browser. Set TARNWELL_PAGE_PICTURE to an absolute path to keep the
// screenshot (the README's picture is made that way).
TEST(PageInBrowser, ShowsEverySectionAndPlotMark) {
  const std::string browser = find_browser();
  if (browser.empty()) GTEST_SKIP() << "no chromium-headless-shell or chromium installed";
  ScratchDir dir;
  dir.write("reads.fa", read_file(std::string(TARNWELL_EXAMPLES_DIR) + "/reads.fa"));
  const CliResult result = run_tarnwell(dir, {"-i", "reads.fa", "-o", "clusters.txt", "-d", "1", "-t",
                                              "ACGTACGTNNNNNNNNNNNNTGCATGCA", "--page", "p.html"});
  ASSERT_EQ(result.status, 0) << result.err;
  dir.write("dom.html", run_browser(browser, dir, "--dump-dom"));
  EXPECT_EQ(page_check({"dom", dir.file("p.html"), dir.file("dom.html")}), "ok");
  run_browser(browser, dir, "--screenshot='" + dir.file("p.png") + "'");
  const std::string png = dir.read("p.png");
  // The picture of a blank page takes about 16 KB, of one line of text 18 KB, of the example's page some 270 KB.
  EXPECT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
  EXPECT_GT(png.size(), 100000u) << "a blank or nearly blank picture";
  if (const char* keep = std::getenv("TARNWELL_PAGE_PICTURE")) {
    EXPECT_TRUE(std::ofstream(keep, std::ios::binary) << png) << keep;
  }
}

// A 90-character input path, 300-character read names and a long sample name wrap inside their boxes: nothing
// reaches past the right edge of a 1200-pixel window, so the page has no horizontal scroll bar. A script added to
// a copy of the page measures the laid-out elements and writes what sticks out into the document.
TEST(PageInBrowser, LongNamesWrapAt1200Pixels) {
  const std::string browser = find_browser();
  if (browser.empty()) GTEST_SKIP() << "no chromium-headless-shell or chromium installed";
  ScratchDir dir;
  const std::string input = std::string(87, 'p') + ".fa";
  std::string reads;
  uint32_t state = 7;
  for (int r = 0; r < 40; ++r) {
    std::string barcode;
    for (int b = 0; b < 12; ++b) barcode += "ACGT"[(state = state * 1103515245u + 12345u) >> 30];
    reads += ">" + std::string(300, static_cast<char>('a' + r % 26)) + "\nACGTACGT" + barcode + "TGCATGCA\n";
  }
  dir.write(input, reads);
  const std::string sample = std::string(120, 's');
  dir.write("sheet.tsv", "sample\tpath\n" + sample + "\t" + input + "\nshort\t" + input + ".copy\n");
  dir.write(input + ".copy", reads);
  const std::string measure =
      "<script>(() => {const w = document.documentElement.clientWidth; const wide = [];"
      "if (document.documentElement.scrollWidth > w) wide.push('document ' + document.documentElement.scrollWidth);"
      "for (const e of document.body.querySelectorAll('*')) {const r = e.getBoundingClientRect();"
      "if (r.right > w + 0.5) wide.push(e.tagName + '.' + e.getAttribute('class') + ' ' + Math.round(r.right));}"
      "const p = document.createElement('pre'); p.id = 'measured';"
      "p.textContent = 'width ' + w + (wide.length ? ' past the edge: ' + wide.slice(0, 5).join('; ') : ' fits');"
      "document.body.appendChild(p);})();</script>";
  for (const std::vector<std::string>& source :
       {std::vector<std::string>{"-i", input}, std::vector<std::string>{"--experiment", "sheet.tsv"}}) {
    SCOPED_TRACE(source[0]);
    std::vector<std::string> args = source;
    for (const char* arg :
         {"-o", "clusters.txt", "-d", "1", "-t", "ACGTACGTNNNNNNNNNNNNTGCATGCA", "--page", "p.html"}) {
      args.push_back(arg);
    }
    const CliResult result = run_tarnwell(dir, args);
    ASSERT_EQ(result.status, 0) << result.err;
    std::string page = dir.read("p.html");
    const size_t end = page.rfind("</body>");
    ASSERT_NE(end, std::string::npos);
    dir.write("measure.html", page.insert(end, measure));
    const std::string dom = run_browser(browser, dir, "--dump-dom", "measure.html", 1200);
    const std::smatch found = [&] {
      std::smatch m;
      std::regex_search(dom, m, std::regex("<pre id=\"measured\">([^<]*)</pre>"));
      return m;
    }();
    ASSERT_FALSE(found.empty()) << "the measuring script did not run";
    EXPECT_EQ(found[1].str(), "width 1200 fits");
  }
}

}  // namespace
