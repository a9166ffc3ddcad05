#!/usr/bin/env bash
# What PREFIX.families.tsv and PREFIX.family_events.tsv cost: the same short fit (a few
# iterations, so that the fit's own work is the same in both runs) with family posteriors off and
# on, on plants30 (20,822 families, 30 leaves) and on data simulated on a random tree of 1,000
# leaves (20,000 sites), 2 threads; prints the wall seconds and the largest resident memory of
# each run, and the files' sizes and rows. Run it alone on the machine: it times.
#
#   bench/family_costs.sh [BUILD-DIR] [DATA-DIR] [ITERATIONS]   (defaults build, ../shared/data, 3)
#
# The runs go to a fresh folder under /tmp, which is left for inspection.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
vorn="$(cd "${1:-$here/build}" && pwd)/vorn"
data="$(cd "${2:-$here/../shared/data}" && pwd)"
iterations=${3:-3}
folder=$(mktemp -d /tmp/vorn-family-costs.XXXXXX)
cd "$folder"
echo "runs in $folder"

# name tree-file pattern-file counts-file
fit_control() {
  sed -e "3s#.*#tree: $2 phyl#" -e "8s#.*#source: pat $3 $4#" \
      -e "41s#.*#maximum \# iterations: $iterations#" -e "42s#.*#ancestral reconstruction: on#" \
      "$here/tests/testdata/control_template.txt" > "$1.txt"
  printf 'optimizer: fast\n' >> "$1.txt"
}

# name: the run off and on, timed.
measure() {
  cp "$1.txt" "$1-off.txt"
  cp "$1.txt" "$1-on.txt"
  printf 'family posteriors: on\n' >> "$1-on.txt"
  for mode in off on; do
    /usr/bin/time -f "%e %M" -o "$1-$mode.time" "$vorn" --seed 1 --threads 2 "$1-$mode.txt" > "$1-$mode.out" 2>&1
    read -r seconds kilobytes < "$1-$mode.time"
    printf '%-10s %-4s %9.2f s %9.1f MiB\n' "$1" "$mode" "$seconds" "$(awk -v k="$kilobytes" 'BEGIN { print k / 1024 }')"
  done
  for file in "$1-on.families.tsv" "$1-on.family_events.tsv"; do
    printf '%-10s %s: %s rows, %s\n' "$1" "${file#$1-on.}" "$(($(wc -l < "$file") - 1))" "$(du -h "$file" | cut -f1)"
  done
}

fit_control plants30 "$data/plants30/plants30.phyl" "$data/plants30/plants30.wp.txt" "$data/plants30/plants30.ngp.txt"
measure plants30

# The model of bench/thousand_leaves.sh, simulated once.
sed -e "3s#.*#tree: random#" -e "4s#.*#number of leaves: 1000#" -e "5s#.*#total time span: 1000#" \
    -e "2s#.*#time units: M#" -e "8s#.*#source: sim#" -e "9s#.*#number of genes: 1#" \
    -e "10s#.*#number of sites: const 20000#" -e "11s#.*#fraction of unknowns: 0#" \
    -e "24s#.*#p0: fix 0.5#" -e "25s#.*#theta: con 1#" -e "26s#.*#phi: con 0.01#" -e "27s#.*#eta: con 1#" \
    -e "28s#.*#xi: con 0.3#" -e "29s#.*#nu: fix 0.2#" -e "32s#.*#l-lambda: fix 1#" -e "33s#.*#g-lambda: fix 1#" \
    -e "41s#.*#maximum \# iterations: 0#" "$here/tests/testdata/control_template.txt" > sim1000.txt
"$vorn" --seed 5 sim1000.txt > sim1000.out 2>&1
fit_control leaves1000 sim1000.phyl sim1000.wp.txt sim1000.ngp.txt
measure leaves1000
