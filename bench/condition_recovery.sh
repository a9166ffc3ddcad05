#!/usr/bin/env bash
# Recovery with conditioning on presence: simulates 5 genes of 800 sites on sim32's tree from a known
# model with "condition on presence: on" (so no site is absent at every leaf, as in an orthology
# table), then fits p0, nu, theta and eta (phi and xi fixed at the truth) with the setting on and off,
# for several seeds, and prints the estimates beside the truth.
#
#   bench/condition_recovery.sh [BUILD-DIR] [DATA-DIR] [REPLICATES]   (defaults build, ../shared/data, 5)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
vorn="$(cd "${1:-$here/build}" && pwd)/vorn"
data="$(cd "${2:-$here/../shared/data}" && pwd)/sim32"
replicates="${3:-5}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "truth:   p0 0.600 nu 0.300 theta 0.80 1.20 1.00 0.60 0.90 eta 0.50 0.50 0.50 0.50 0.50"
for rep in $(seq 1 "$replicates"); do
  sed -e "s#^tree: .*#tree: $data/sim32.phyl phyl#" -e "s#^number of genes: .*#number of genes: 5#" \
      -e "s#^number of sites: .*#number of sites: const 800#" -e "s#^fraction of unknowns: .*#fraction of unknowns: 0#" \
      -e "s#^track numbers.*#track numbers of present characters: off#" \
      -e "s#^p0: fix .*#p0: fix 0.6#" -e "s#^theta: fix .*#theta: fix 0.8 1.2 1.0 0.6 0.9#" -e "s#^phi: con .*#phi: con 0.03#" \
      -e "s#^eta: con .*#eta: con 0.5#" -e "s#^xi: con .*#xi: con 0.5#" -e "s#^nu: fix .*#nu: fix 0.3#" \
      -e "s#^l-lambda: fix .*#l-lambda: fix inf#" -e "s#^g-lambda: fix .*#g-lambda: fix inf#" \
      -e "s#^\# categories (loss distribution): .*#\# categories (loss distribution): 1#" \
      -e "s#^\# categories (gain distribution): .*#\# categories (gain distribution): 2#" \
      "$here/examples/simulate.input.txt" > sim$rep.input.txt
  printf 'condition on presence: on\n' >> sim$rep.input.txt
  "$vorn" --seed "$rep" sim$rep.input.txt > sim$rep.out
  for mode in on off; do
    sed -e "s#^source: .*#source: pat sim$rep.wp.txt sim$rep.ngp.txt#" -e "s#^p0: fix .*#p0: est#" \
        -e "s#^theta: fix .*#theta: est#" -e "s#^eta: con .*#eta: est#" -e "s#^nu: fix .*#nu: est#" \
        -e "s#^maximum \# iterations: .*#maximum \# iterations: 2000#" -e "s#^theta: rand 1#theta: con 1#" \
        -e "/^condition on presence/d" sim$rep.input.txt > fit$rep$mode.input.txt
    printf 'optimizer: fast\nstarts: 3\ncondition on presence: %s\n' "$mode" >> fit$rep$mode.input.txt
    "$vorn" --seed 1 fit$rep$mode.input.txt > fit$rep$mode.out
    python3 - "fit$rep$mode.results.json" "seed $rep, $mode:" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
values = {}
for p in r['parameters']:
    values.setdefault(p['parameter'], []).append(p['value'])
print('%-14s p0 %.3f nu %.3f theta %s eta %s logL %.2f' % (
    sys.argv[2], values['p0'][0], values['nu'][0], ' '.join('%.2f' % x for x in values['theta']),
    ' '.join('%.2f' % x for x in values['eta']), r['outcome']['log_likelihood']))
PY
  done
done
