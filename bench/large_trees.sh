#!/bin/sh
# Simulates data with the tool on random trees of 2,000 and 10,000 leaves (300 sites each, none
# unknown: with so many leaves nearly every site would hide a value, and nu starts from the sites
# without), fits every parameter for a few iterations, and checks that every log-likelihood of the
# run is a finite number. Not a test: 3 iterations on 10,000 leaves take about 10 s.
#
#   bench/large_trees.sh VORN [ITERATIONS] [-- OPTIONS FOR VORN]
#
# The runs go to a fresh folder under /tmp, which is left for inspection.
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 VORN [ITERATIONS] [-- OPTIONS FOR VORN]" >&2
  exit 2
fi
vorn=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
iterations=5
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  iterations=$1
  shift
fi
if [ $# -gt 0 ] && [ "$1" = "--" ]; then shift; fi

folder=$(mktemp -d /tmp/vorn-large-trees.XXXXXX)
cd "$folder"
status=0
for leaves in 2000 10000; do
  name=random$leaves
  cat > $name.txt <<EOF
PHYLOGENETIC TREE
time units: M
tree: random
number of leaves: $leaves
total time span: 1000

ALIGNMENT DATA
source: sim
number of genes: 1
number of sites: const 300
fraction of unknowns: 0
track numbers of present characters: off
filter unknowns: none
p0: 0.95
theta: 1
phi: 0.4 1
eta: 1.5
xi: 0.4 1.5
nu: 0.8
l-lambda: 1
g-lambda: 1

MODEL PARAMETERS
p0: est
theta: est
phi: est
eta: est
xi: est
nu: est
minimal l-lambda value: 0.05
minimal g-lambda value: 0.06
l-lambda: est
g-lambda: est

CONTROL PARAMETERS
# categories (loss distribution): 4
# categories (gain distribution): 5
likelihood tolerance: 1e-6
parameter tolerance: 1e-4
internal tolerance: 1e-8
maximum # iterations: $iterations
ancestral reconstruction: on

INITIALIZATION PARAMETERS
p0: observed 0.95
theta: con 1
phi: dollo
eta: con 1.5
xi: dollo
nu: observed 0.8
l-lambda: fixed 1
g-lambda: fixed 1
EOF
  start=$(date +%s)
  if ! "$vorn" "$@" $name.txt > $name.console 2>&1; then
    echo "$leaves leaves: the run failed:"
    tr "\r" "\n" < $name.console | tail -n 3
    status=1
    continue
  fi
  seconds=$(($(date +%s) - start))
  lines=$(wc -l < $name.history.likelihood.txt)
  if grep -qiv '^-\?[0-9.e+-]*$' $name.history.likelihood.txt || grep -qi 'inf\|nan' $name.history.likelihood.txt; then
    echo "$leaves leaves: a log-likelihood is not finite:"
    cat $name.history.likelihood.txt
    status=1
  else
    echo "$leaves leaves: $lines log-likelihoods, all finite, from $(head -n 1 $name.history.likelihood.txt)" \
         "to $(tail -n 1 $name.history.likelihood.txt), in $seconds s"
  fi
done
echo "runs in $folder"
exit $status
