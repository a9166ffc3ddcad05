#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses (fuzz/corpus/<harness>/) from the examples,
the test data, the control-file template of the tests and small cuts of ../shared/data.

Run from anywhere; it replaces the seeds it writes (named seed-*) and leaves every other file
of the corpora (inputs a fuzzing run added, regression cases) alone. A seed is kept small: the
fuzzer mutates it byte by byte, and CI replays every file of the corpus."""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SHARED = os.path.join(os.path.dirname(ROOT), "shared", "data")
SEPARATOR = "@@@\n"  # kFileSeparator of fuzz_support.h


def read(path):
    with open(path) as f:
        return f.read()


def cut_patterns(wp, ngp, count):
    """The first `count` pattern lines and, on every gene line, the name and the first `count`
    counts; columns stay aligned, so the cut is a valid pair again."""
    patterns = [line for line in wp.splitlines() if line.strip()][:count]
    genes = []
    for line in ngp.splitlines():
        tokens = line.split()
        if tokens:
            genes.append(" ".join(tokens[: count + 1]))
    return "\n".join(patterns) + "\n", "\n".join(genes) + "\n"


def template_lines():
    """The control file of the tests (tests/testdata/control_template.txt), one entry a line."""
    return read(os.path.join(ROOT, "tests", "testdata", "control_template.txt")).splitlines()


def four_leaf_phyl():
    source = read(os.path.join(ROOT, "tests", "support", "input_template.cpp"))
    body = source[source.index("kFourLeafPhyl"):]
    body = body[: body.index(";")]
    return "".join(s.encode().decode("unicode_escape") for s in re.findall(r'"((?:[^"\\]|\\.)*)"', body))


def write(harness, name, text):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def data_sets():
    """(name, phyl, newick, wp in phyl order, wp in Newick order, ngp, leaves) of every source."""
    sets = []
    examples = os.path.join(ROOT, "examples")
    sets.append(("primates", read(os.path.join(examples, "primates.phyl")), None,
                 read(os.path.join(examples, "primates.wp.txt")), None,
                 read(os.path.join(examples, "primates.ngp.txt")), 8))
    for name, leaves in (("mammals12", 12), ("plants30", 30), ("sim32", 32)):
        folder = os.path.join(SHARED, name)
        if not os.path.isdir(folder):
            continue
        sets.append((name, read(os.path.join(folder, name + ".phyl")), read(os.path.join(folder, name + ".nwk")),
                     read(os.path.join(folder, name + ".wp.txt")), read(os.path.join(folder, name + ".nwk.wp.txt")),
                     read(os.path.join(folder, name + ".ngp.txt")), leaves))
    return sets


def tree_seeds(sets):
    write("tree", "four-leaf.phyl", four_leaf_phyl())
    write("tree", "four-leaf.nwk", "((A:0.04,B:0.04):0.06,(C:0.06,D:0.06):0.04);\n")
    write("tree", "two-leaf.nwk", "(:0.1,:0.1);")
    write("tree", "two-leaf.phyl", "3 Nodes (ID name age):\n1: 'r' 10\n2: 'a' 0\n3: 'b' 0\n\n"
                                   "Edges (ID from to):\n1: 1 2\n2: 1 3\n")
    # Root not first, leaves not last: the reader renumbers.
    write("tree", "renumbered.phyl", "5 Nodes (ID name age):\n1: 'a' 0\n2: 'x' 5\n3: 'root' 9\n4: 'b' 0\n"
                                     "5: 'c' 0\n\nEdges (ID from to):\n1: 3 2\n2: 3 5\n3: 2 1\n4: 2 4\n")
    write("tree", "labels.nwk", "((a:1,b:1)ab:2,(c:1.5,'d e':1.5)cd:1.5)root;\n")
    # What other programs write: comments, quoted labels, support values, NEXUS trees blocks.
    write("tree", "comments-quotes.nwk", "[&R] (('Vitis vinifera':1[&a=1],'O''Brien':1)95:1[&95%HPD={0.9,1.5}],"
                                         "C:2[x]);\n")
    write("tree", "support.nwk", "((A:1,B:1)95:1,(C:1,D:1)0.65297/100:1)100;\n")
    write("tree", "unrooted.nwk", "((A:1,B:1):1,C:2,D:2);\n")
    write("tree", "beast.nex", "#NEXUS\nBegin taxa;\n  Dimensions ntax=3;\n  Taxlabels A 'B b' C;\nEnd;\n"
                               "Begin trees;\n  Translate\n    1 A,\n    2 'B b',\n    3 C\n  ;\n"
                               "  tree STATE_0 [&lnP=-10.5] = [&R] ((1:1.5[&rate=1],2:1.5):0.5,3:2);\n"
                               "  tree 2 = [&U] ((1:1,3:1):1,2:2);\nEnd;\n")
    write("tree", "mcmctree.tre", "#NEXUS\nBEGIN TREES;\n\n\tUTREE 1 = ((Hsap: 0.5, Ptro: 0.5) [&95%={0.4, 0.6}]: "
                                  "0.72, Ggor: 1.22) [&95%={1.1, 1.3}];\n\nEND;\n")
    golden = os.path.join(ROOT, "tests", "testdata", "golden", "fixed.tree.nwk")
    write("tree", "own-annotated.nwk", read(golden))
    testdata = os.path.join(ROOT, "tests", "testdata", "data")
    shared = {text for _, phyl, newick, *_ in sets for text in (phyl, newick) if text}
    for name in ("mammals12.phyl", "mammals12.nwk"):
        text = read(os.path.join(testdata, name))
        if text not in shared:
            write("tree", "tests-" + name, text)
    for name, phyl, newick, *_ in sets:
        write("tree", name + ".phyl", phyl)
        if newick:
            write("tree", name + ".nwk", newick)
    # Newick forms as other programs write them: ages as lengths, internal labels, blanks.
    for raw in (("mammals12", "mammals_tree.txt"), ("plants30", "dated_genome_tree-labeled.tre")):
        path = os.path.join(SHARED, *raw)
        if os.path.exists(path):
            write("tree", raw[0] + "-raw.nwk", read(path))


def pattern_seeds(sets):
    def pack(leaves, wp, ngp, filter_bits=0):
        return bytes([(leaves - 1) | (filter_bits << 6)]) + (wp + SEPARATOR + ngp).encode()

    write("pattern_files", "four-leaf", pack(4, "0 1 1 0\n1 1 2 1\n", "g1 5 2\n"))
    write("pattern_files", "one-leaf", pack(1, "0\n1\n2\n", "g 3 0 1\ng2 1 1 1\n"))
    write("pattern_files", "dos-lines", pack(3, "0,1,1\r\n1\t0\t2\r\n", "a 1 2\r\nb 0 0\r\n"))
    write("pattern_files", "filtered", pack(4, "2 2 1 0\n2 2 2 2\n0 0 0 1\n", "g 4 5 6\n", 2))
    for name, _, _, wp, _, ngp, leaves in sets:
        small_wp, small_ngp = cut_patterns(wp, ngp, 24)
        write("pattern_files", name, pack(leaves, small_wp, small_ngp))
        write("pattern_files", name + "-ukf", pack(leaves, small_wp, small_ngp, 2))


def input_seeds(sets):
    base = template_lines()

    def control(changes):
        lines = list(base)
        for index, text in sorted(changes.items()):
            if index > len(lines):
                lines.extend([""] * (index - len(lines)))
            lines[index - 1] = text
        return "\n".join(lines) + "\n"

    def pack(changes, tree="", wp="", ngp=""):
        return control(changes) + SEPARATOR + tree + SEPARATOR + wp + SEPARATOR + ngp

    four = four_leaf_phyl()
    wp4, ngp4 = "0 1 1 0\n1 1 2 1\n0 0 0 0\n", "g1 5 2 9\ng2 1 0 3\n"
    write("input", "template", pack({}, four, wp4, ngp4))
    write("input", "newick", pack({3: "tree: tree.phyl newick"}, "((A:0.04,B:0.04):0.06,(C:0.06,D:0.06):0.04);\n",
                                  wp4, ngp4))
    write("input", "fixed-lists", pack({
        25: "theta: fix 0.5 0.7", 26: "phi: fix 0 0.1 0.2 0.1 0.1 0.2 0.3", 27: "eta: con 2",
        28: "xi: mix 1 0.5 4 0.25 %", 29: "nu: fix 0.2", 32: "l-lambda: fix inf", 33: "g-lambda: fix 0.7",
        45: "p0: fix 0.9", 46: "theta: fix 1 1", 47: "phi: fix 0 0.1 0.1 0.1 0.1 0.1 0.1", 48: "eta: con 1",
        49: "xi: dollo", 50: "nu: rand 0.5", 51: "l-lambda: fixed 2", 52: "g-lambda: rand 1"}, four, wp4, ngp4))
    write("input", "ukf-mixed", pack({13: "filter unknowns: ukf 0.5", 24: "p0: fix rand", 25: "theta: mix 0 1.5 %",
                                      29: "nu: est fix", 42: "ancestral reconstruction: detailed",
                                      36: "# categories (loss distribution): 1",
                                      37: "# categories (gain distribution): 1"}, four, wp4, ngp4))
    sim = {8: "source: sim", 9: "number of genes: 2", 10: "number of sites: fixed 20 30",
           12: "track numbers of present characters: on", 24: "p0: fix 0.6", 25: "theta: fix rand",
           26: "phi: con 0.05", 27: "eta: con 4", 28: "xi: est", 29: "nu: fix 0.3", 32: "l-lambda: fix rand",
           33: "g-lambda: fix 2"}
    # A table in the place of the pattern file.
    write("input", "table", pack({8: "source: table data.wp.txt", 13: "filter unknowns: ukf 0.5"}, four,
                                 "family\tgene\tD\tC\tB\tA\nf1\tg1\t0\t1\t3\t0\nf2\tg2\t1\tNA\t1\t1\n"
                                 "f3\tg1\t1\t0\t0\t0\nf4\tg1\t0\t1\t1\t0\n"))
    # The settings after line 52 that say how the files are read.
    write("input", "nexus-unit", pack({3: "tree: tree.phyl nexus", 53: "tree unit: 100My", 54: "internal labels: support",
                                       55: "ultrametric tolerance: 5%"},
                                      "#NEXUS\nbegin trees;\n  translate 1 A, 2 B, 3 C, 4 D;\n"
                                      "  tree t = [&R] ((1:0.4,2:0.4)90:0.6,(3:0.6,4:0.6)70:0.4);\nend;\n", wp4, ngp4))
    write("input", "table-settings", pack({8: "source: table data.wp.txt", 53: "gene column: Family ID",
                                           54: "leaves without data: prune"}, four,
                                          "Desc\tFamily ID\tA\tB\tC\n(null)\t1\t5\t0\t2\n(null)\t2\t0\t3\t1\n"
                                          "(null)\t1\t1\t1\t0\n"))
    write("input", "simulate", pack(sim, four))
    write("input", "simulate-random-tree", pack({**sim, **{3: "tree: rand", 4: "number of leaves: 6",
                                                             10: "number of sites: rand 10",
                                                             11: "fraction of unknowns: 0.2"}}))
    write("input", "simulate-const", pack({**sim, **{2: "time units: B", 3: "tree: random",
                                                       5: "total time span: 0.5", 9: "number of genes: 1",
                                                       10: "number of sites: const 40"}}))
    # The example runs, with their files renamed to the harness's names.
    examples = os.path.join(ROOT, "examples")
    for name in ("primates", "simulate"):
        text = read(os.path.join(examples, name + ".input.txt"))
        text = text.replace("primates.phyl", "tree.phyl").replace("primates.wp.txt", "data.wp.txt")
        text = text.replace("primates.ngp.txt", "data.ngp.txt").replace("const 500", "const 20")
        wp, ngp = cut_patterns(read(os.path.join(examples, "primates.wp.txt")),
                               read(os.path.join(examples, "primates.ngp.txt")), 30)
        tree = read(os.path.join(examples, "primates.phyl"))
        write("input", "example-" + name, text + SEPARATOR + tree + SEPARATOR + wp + SEPARATOR + ngp)
    for name, phyl, newick, wp, newick_wp, ngp, leaves in sets[1:]:
        small_wp, small_ngp = cut_patterns(newick_wp, ngp, 12)
        write("input", name + "-newick", pack({3: "tree: tree.phyl newick", 4: "number of leaves: %d" % leaves},
                                              newick, small_wp, small_ngp))


def table_seeds():
    def pack(tree, table, filter_bits=0):
        return bytes([filter_bits << 6]) + (tree + SEPARATOR + table).encode()

    four = "((A:0.04,B:0.04):0.06,(C:0.06,D:0.06):0.04);\n"
    write("table", "tab", pack(four, "id\tD\tC\tB\tA\nf1\t3\tNA\t0\t1\nf2\t12\t1.0\t0.0\t0\nf3\t1\t\t?\t-\n"))
    write("table", "csv-quoted", pack(four, '"family","A","B","C","D"\r\n"f1, ""x""",1,0,?,1\r\n"f\n2",0,0,N/A,1\r\n'))
    write("table", "semicolon-genes", pack(four, ";B;gene;A;D;C\n1;0;g2;1;1;n/a\n2;0;g1;0;1;1\n3;0;g2;1;1;0\n", 2))
    write("table", "fasta", pack(four, ">A first leaf\n1 0\n1\n>B\n000\n>C\n?1-\n>D\n11\n1\n"))
    write("table", "phylip", pack(four, "4 3\nA 101\nB   0 0 0\nC ?1\n-\nD 111\n", 1))
    write("table", "mismatch", pack(four, "A\tb\tC\tx\n1\t1\t1\t1\n"))
    # The tools' own tables of the tests; bits 4 and 5 of the first byte: leaves without data
    # unknown (1) or pruned (2); bit 3: the gene column "Family ID".
    tables = os.path.join(ROOT, "tests", "testdata", "tables")
    for name in sorted(os.listdir(tables)):
        write("table", "tool-" + name, pack(four, read(os.path.join(tables, name))))
    write("table", "missing-unknown", bytes([1 << 4]) + (four + SEPARATOR + "Orthogroup\tA\tB\tC\tTotal\n"
                                                          "OG1\t1\t0\t2\t3\n").encode())
    write("table", "missing-pruned", bytes([2 << 4]) + (four + SEPARATOR + ">A\n10\n>C\n11\n>D\n01\n").encode())
    write("table", "family-genes", bytes([8]) + (four + SEPARATOR + "Desc\tFamily ID\tA\tB\tC\tD\n"
                                                 "x\tF1\t1\t0\t0\t1\ny\tF2\t0\t1\t1\t0\nz\tF1\t1\t1\t1\t1\n").encode())
    # The raw tables of ../shared/data as orthology tools write them, cut to a few rows, with
    # their row-name columns named as the reader knows them.
    raw = (("mammals12", "mammals_tree.txt", "mammal_gene_families.txt"),
           ("plants30", "dated_genome_tree-labeled.tre", "bryo-families-reconciled.txt"))
    for name, tree_file, table_file in raw:
        tree_path, table_path = os.path.join(SHARED, name, tree_file), os.path.join(SHARED, name, table_file)
        if not (os.path.exists(tree_path) and os.path.exists(table_path)):
            continue
        rows = [line.rstrip("\n").split("\t") for line in read(table_path).splitlines()[:25]]
        if rows[0][:2] == ["Desc", "Family ID"]:
            rows = [row[1:] for row in rows]
        rows[0][0] = "family"
        write("table", name, pack(read(tree_path), "\n".join("\t".join(row) for row in rows) + "\n"))


def run_seeds():
    """Small whole runs (a few iterations on the four-leaf tree) and the hostile cases that once
    harmed a run: lengths that overflow, bytes in names, shapes whose categories fail, data from
    which no start can be made, settings given twice or out of range."""
    base = template_lines()

    def pack(changes, tree=None, wp="0 1 1 0\n1 1 2 1\n0 0 0 1\n", ngp="g1 5 2 9\ng2 1 0 3\n"):
        lines = list(base)
        changes = {41: "maximum # iterations: 2", **changes}
        for index, text in sorted(changes.items()):
            if index > len(lines):
                lines.extend([""] * (index - len(lines)))
            lines[index - 1] = text
        tree = four_leaf_phyl() if tree is None else tree
        return "\n".join(lines) + "\n" + SEPARATOR + tree + SEPARATOR + wp + SEPARATOR + ngp

    newick = {3: "tree: tree.phyl newick"}
    write("run", "template", pack({}))
    write("run", "everything", pack({42: "ancestral reconstruction: detailed", 53: "standard errors: on",
                                     54: "optimizer: fast"}))
    write("run", "simulate", pack({3: "tree: rand", 4: "number of leaves: 5", 8: "source: sim",
                                   10: "number of sites: const 20"}))
    write("run", "huge-lengths", pack(newick, "((A:1e308,B:1e308):1e308,(C:1e308,D:1e308):1e308);\n"))
    write("run", "overflowing-span", pack(newick, "((A:2e305,B:2e305):1,(C:2e305,D:2e305):1);\n"))
    write("run", "many-categories", pack({36: "# categories (loss distribution): 1000",
                                          37: "# categories (gain distribution): 65535"}))
    write("run", "nul-in-name", pack({3: "tree: tree.phyl\0junk phyl"}))
    write("run", "nul-in-value", pack({}, wp="0\0 1 1 0\n1 1 2 1\n0 0 0 1\n"))
    write("run", "tab-in-label", pack(newick, "(('A\tx':0.04,B:0.04):0.06,(C:0.06,D:0.06):0.04);\n"))
    write("run", "line-feed-in-label", pack(newick, "(('A\nx':0.04,B:0.04):0.06,(C:0.06,D:0.06):0.04);\n"))
    write("run", "invalid-utf8", pack(newick, "((\udcff\udcc3:0.04,B:0.04):0.06,(C:0.06,D:0.06):0.04);\n"))
    write("run", "negative-iterations", pack({41: "maximum # iterations: -5"}))
    write("run", "repeated-setting", pack({53: "optimizer: em", 54: "optimizer: fast"}))
    write("run", "tiny-shape", pack({33: "g-lambda: fix 1e-5"}))
    write("run", "p0-unknown", pack({}, wp="2 2 2 2\n2 2 2 2\n2 2 2 2\n"))
    write("run", "nu-one", pack({}, wp="0 0 0 0\n0 0 0 0\n0 0 0 0\n"))
    write("run", "wide-table", pack({8: "source: table data.wp.txt"},
                                    wp="A\tB\tC\tD\t" + "\t".join("x%d" % i for i in range(40)) + "\n"
                                       + "\t".join(["0"] * 44) + "\n"))


def main():
    sets = data_sets()
    if len(sets) < 4:
        print("warning: ../shared/data not found; seeds from the examples and tests only", file=sys.stderr)
    tree_seeds(sets)
    pattern_seeds(sets)
    input_seeds(sets)
    table_seeds()
    run_seeds()


if __name__ == "__main__":
    main()
