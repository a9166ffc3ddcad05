#!/usr/bin/env python3
"""Reliability of per-site gain and loss chances against a simulation's true history.

usage: calibration.py SITE_TRACK FAMILY_EVENTS BRANCHES

SITE_TRACK is PREFIX.site_track.tsv of the simulation, FAMILY_EVENTS the long form of the fit
written with event threshold 0 (every site and branch), BRANCHES the fit's branches.tsv (for
the tree, to rebuild the Dollo reconstruction of each site from its leaves). Nodes are matched by
number (the site track's columns are the nodes in their order): a random tree's nodes are named
otherwise once it is read back from the file the simulation wrote. Prints, for p_gain and p_loss, the pairs in each bin of predicted chance with the mean
chance and the observed share of true events, and the Brier scores of the chances and of the
Dollo calls (0 or 1) on the same pairs.
"""
import csv
import math
import sys
from collections import defaultdict

EDGES = [0, 0.01, 0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 0.99, 1.0]


def bin_of(p):
    for i in range(len(EDGES) - 1):
        if p < EDGES[i + 1]:
            return i
    return len(EDGES) - 2


def dollo(leaf_present, children, root):
    """0/1 state per node: present where both subtrees show the character, absent where neither
    does, and the parent's state where one does (a leaf shows its own)."""
    below, state = {}, {}

    def up(v):
        if not children[v]:
            below[v] = leaf_present[v]
        else:
            below[v] = any([up(c) for c in children[v]])
        return below[v]

    up(root)
    stack = [root]
    while stack:
        v = stack.pop()
        kids = children[v]
        if not kids:
            state[v] = 1 if leaf_present[v] else 0
        else:
            shows = [below[c] for c in kids]
            if all(shows):
                state[v] = 1
            elif not any(shows):
                state[v] = 0
            else:
                state[v] = 0 if v == root else state[parent_of[v]]
        stack.extend(kids)
    return state


def main():
    track_file, events_file, branches_file = sys.argv[1:4]
    global parent_of
    parent_of, children = {}, defaultdict(list)
    with open(branches_file) as f:
        for row in csv.DictReader(f, delimiter='\t'):
            parent_of[int(row['node'])] = int(row['parent'])
            children[int(row['parent'])].append(int(row['node']))
    with open(track_file) as f:
        reader = csv.reader(f, delimiter='\t')
        nodes = range(len(next(reader)) - 3)
        truth = {(row[0], row[1]): row[3:] for row in reader}
    root = 0
    for v in nodes:
        children.setdefault(v, [])

    kinds = ('gain', 'loss')
    bins = {k: [[0, 0.0, 0] for _ in EDGES[:-1]] for k in kinds}  # pairs, sum of chances, events
    brier = {k: 0.0 for k in kinds}
    dollo_brier = {k: 0.0 for k in kinds}
    totals = {k: [0.0, 0, 0] for k in kinds}  # expected, true, Dollo
    pairs = 0
    site, calls = None, None
    with open(events_file) as f:
        for row in csv.DictReader(f, delimiter='\t'):
            key = (row['id'], row['gene'])
            history = truth[key]
            if key != site:
                site = key
                leaves = {v: history[v] in ('gain', 'kept') for v in nodes if not children[v]}
                calls = dollo(leaves, children, root)
            v = int(row['node'])
            code = history[v]
            parent_call, call = calls[parent_of[v]], calls[v]
            pairs += 1
            for kind in kinds:
                p = float(row['p_' + kind])
                event = 1 if code == kind else 0
                guess = (parent_call, call) == ((0, 1) if kind == 'gain' else (1, 0))
                b = bins[kind][bin_of(p)]
                b[0] += 1
                b[1] += p
                b[2] += event
                brier[kind] += (p - event) ** 2
                dollo_brier[kind] += (guess - event) ** 2
                totals[kind][0] += p
                totals[kind][1] += event
                totals[kind][2] += guess
    print(f'{pairs} (site, branch) pairs of {len(truth)} sites')
    for kind in kinds:
        print(f'\np_{kind}: reliability (points = observed - mean chance, in percentage points; '
              f'2 se = twice the binomial standard error of the observed share)')
        print(f'{"bin":>13} {"pairs":>8} {"mean":>8} {"observed":>9} {"points":>7} {"2 se":>6}')
        for i, (n, s, e) in enumerate(bins[kind]):
            if n == 0:
                continue
            mean, seen = s / n, e / n
            se = 2 * math.sqrt(max(mean * (1 - mean), 1e-12) / n) * 100
            print(f'[{EDGES[i]:.2f}, {EDGES[i + 1]:.2f}) {n:>8} {mean:8.4f} {seen:9.4f} '
                  f'{100 * (seen - mean):7.2f} {se:6.2f}')
        print(f'Brier score: posterior {brier[kind] / pairs:.6f}, Dollo {dollo_brier[kind] / pairs:.6f}; '
              f'events: expected {totals[kind][0]:.1f}, true {totals[kind][1]}, Dollo {totals[kind][2]}')


if __name__ == '__main__':
    main()
