#!/usr/bin/env python3
"""Writes the golden results of the four-leaf fixture of tests/output (every parameter fixed) from a
brute-force enumeration of the states of all seven nodes: golden/fixed.branches.tsv,
golden/fixed.tree.nwk and golden/fixed.results.json. Independent of the program: plain Python
floats, the model's formulas as written, no pruning.

Tree ((A,B)AB,(C,D)CD)root, ages 100, 40 and 60 My, lengths in units of 1000 My. Patterns (A B C D)
1100, 1010, 0000, 1201 (2 unknown); gene g1 shows them 3, 1, 4, 0 times, g2 0, 2, 1, 2 times.
p0 0.5, theta 1 and 2, eta 2 and 3, every phi 0.1, every xi 0.5, nu 0.25, one loss category
(rate 1), two gain categories (rate 0 weight nu, rate 1 weight 1 - nu)."""
import itertools
import json
import math
import os

names = ["root", "AB", "CD", "A", "B", "C", "D"]
parent = [None, 0, 0, 1, 1, 2, 2]
length = [0, 0.06, 0.04, 0.04, 0.04, 0.06, 0.06]
leaves = [3, 4, 5, 6]
patterns = [[1, 1, 0, 0], [1, 0, 1, 0], [0, 0, 0, 0], [1, 2, 0, 1]]
counts = {"g1": [3, 1, 4, 0], "g2": [0, 2, 1, 2]}
theta = {"g1": 1.0, "g2": 2.0}
eta = {"g1": 2.0, "g2": 3.0}
p0, phi, xi, nu = 0.5, 0.1, 0.5, 0.25
gain_categories = [(0.0, nu), (1.0, 1 - nu)]

present = [0.0] * 7
events = {k: [0.0] * 7 for k in ("losses", "gains", "retentions")}
log_likelihood = 0.0
for gene, gene_counts in counts.items():
    for pattern, count in zip(patterns, gene_counts):
        if count == 0:
            continue
        total = 0.0
        p_present = [0.0] * 7
        p_events = {k: [0.0] * 7 for k in events}
        for rate, weight in gain_categories:
            keep = [(1 - phi) * math.exp(-theta[gene] * length[v]) for v in range(7)]
            gain = [xi * (1 - math.exp(-eta[gene] * rate * length[v])) for v in range(7)]
            for states in itertools.product((0, 1), repeat=7):
                if any(pattern[j] != 2 and states[leaves[j]] != pattern[j] for j in range(4)):
                    continue
                p = weight * (p0 if states[0] == 0 else 1 - p0)
                for v in range(1, 7):
                    up, here = states[parent[v]], states[v]
                    chance = keep[v] if up else gain[v]
                    p *= chance if here else 1 - chance
                total += p
                for v in range(7):
                    if states[v]:
                        p_present[v] += p
                    if v:
                        up, here = states[parent[v]], states[v]
                        if up and not here:
                            p_events["losses"][v] += p
                        if here and not up:
                            p_events["gains"][v] += p
                        if up and here:
                            p_events["retentions"][v] += p
        log_likelihood += count * math.log(total)
        for v in range(7):
            present[v] += count * p_present[v] / total
            for k in events:
                events[k][v] += count * p_events[k][v] / total

# Dollo counts of the same sites, worked out by hand from the patterns (a state 2 counts nowhere).
dollo = {
    "present": [5, 8, 5, 8, 3, 3, 2],
    "losses": [0, 0, 0, 0, 3, 2, 3],
    "gains": [0, 3, 0, 0, 0, 0, 0],
    "retentions": [0, 5, 5, 8, 3, 3, 2],
}

golden = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden")
leaves_below = [4, 2, 2, 1, 1, 1, 1]
with open(os.path.join(golden, "fixed.branches.tsv"), "w") as out:
    out.write("node\tname\tparent\tparent_name\tbranch_length\tleaves_below\tphi\txi\tpresent_parent\tpresent"
              "\tlosses\tgains\tretentions\tdollo_present_parent\tdollo_present\tdollo_losses\tdollo_gains"
              "\tdollo_retentions\n")
    for v in range(1, 7):
        p = parent[v]
        out.write("%d\t%s\t%d\t%s\t%.17g\t%d\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\t%d\t%d\t%d\t%d\t%d\n" % (
            v, names[v], p, names[p], length[v], leaves_below[v], phi, xi, present[p], present[v],
            events["losses"][v], events["gains"][v], events["retentions"][v], dollo["present"][p],
            dollo["present"][v], dollo["losses"][v], dollo["gains"][v], dollo["retentions"][v]))


def label(v):
    return "%s:%.17g[&gains=%.17g,losses=%.17g,retentions=%.17g,present=%.17g,phi=%.17g,xi=%.17g]" % (
        names[v], length[v], events["gains"][v], events["losses"][v], events["retentions"][v], present[v], phi, xi)


with open(os.path.join(golden, "fixed.tree.nwk"), "w") as out:
    out.write("((%s,%s)%s,(%s,%s)%s)root[&present=%.17g];\n" % (
        label(3), label(4), label(1), label(5), label(6), label(2), present[0]))

parameters = [{"parameter": "p0", "index": None, "name": None, "value": p0}]
parameters += [{"parameter": "theta", "index": g, "name": n, "value": theta[n]} for g, n in enumerate(counts)]
parameters += [{"parameter": "phi", "index": v, "name": names[v], "value": phi} for v in range(1, 7)]
parameters += [{"parameter": "eta", "index": g, "name": n, "value": eta[n]} for g, n in enumerate(counts)]
parameters += [{"parameter": "xi", "index": v, "name": names[v], "value": xi} for v in range(1, 7)]
parameters += [{"parameter": "nu", "index": None, "name": None, "value": nu},
               {"parameter": "l-lambda", "index": None, "name": None, "value": 0},
               {"parameter": "g-lambda", "index": None, "name": None, "value": 0}]
for p in parameters:
    p.update({"estimated": False, "lower": None, "upper": None, "at_bound": None, "gradient": None})
results = {
    "format_version": 1,
    "seed": 7,
    "control_file": "fixed.txt",
    "tree": {"file": "tree.phyl", "leaves": 4, "nodes": 7, "root_age": 0.1},
    "data": {"pattern_file": "data.wp.txt", "counts_file": "data.ngp.txt", "leaves": 4, "genes": 2,
             "gene_names": ["g1", "g2"], "sites": 13, "sites_filtered": 13, "distinct_patterns": 4,
             "unknown_filter": None},
    "settings": {"loss_categories": 1, "gain_categories": 2, "likelihood_tolerance": 1e-6,
                 "parameter_tolerance": 1e-4, "internal_tolerance": 1e-8, "maximum_iterations": 100,
                 "minimal_llambda": 0.05, "minimal_glambda": 0.06, "optimizer": "em", "starts": 1,
                 "ancestral_reconstruction": "on", "theta_phi_invariant": False, "eta_xi_invariant": False,
                 "estimated": {k: False for k in ("p0", "theta", "phi", "eta", "xi", "nu", "l-lambda", "g-lambda")}},
    "outcome": {"converged": True, "criterion_not_met": None, "iterations": 1, "e_steps": 1,
                "elapsed_seconds": 2.5, "log_likelihood": log_likelihood, "free_parameters": 0, "sample_size": 13,
                "aic": -2 * log_likelihood, "bic": -2 * log_likelihood, "optimality_check": None},
    "parameters": parameters,
    "rate_categories": {"loss": {"rates": [1.0], "weights": [1.0]},
                        "gain": {"rates": [0.0, 1.0], "weights": [nu, 1 - nu]}},
}
with open(os.path.join(golden, "fixed.results.json"), "w") as out:
    json.dump(results, out, indent=2)
    out.write("\n")
