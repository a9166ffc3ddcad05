#!/usr/bin/env bash
# Data simulated by the tool on random trees of 1,000 and 2,000 leaves (one gene of 20,000
# sites), then fitted with everything estimated by the recommended settings (optimizer fast,
# 8 screened starts) on 2 threads: prints the log-likelihood reached, the E-steps, the wall
# seconds and the optimality check. Run it alone on the machine; the 1,000-leaf fit takes minutes.
#
#   bench/thousand_leaves.sh [BUILD-DIR] [LEAVES...]   (defaults build, 1000 2000)
#
# The runs go to a fresh folder under /tmp, which is left for inspection.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
vorn="$(cd "${1:-$here/build}" && pwd)/vorn"
shift $(( $# > 0 ? 1 : 0 ))
sizes=("$@")
[[ ${#sizes[@]} -eq 0 ]] && sizes=(1000 2000)
folder=$(mktemp -d /tmp/vorn-thousand.XXXXXX)
cd "$folder"
echo "runs in $folder"

simulation() {  # leaves
  sed -e "3s#.*#tree: random#" -e "4s#.*#number of leaves: $1#" -e "5s#.*#total time span: 1000#" \
      -e "2s#.*#time units: M#" -e "8s#.*#source: sim#" -e "9s#.*#number of genes: 1#" \
      -e "10s#.*#number of sites: const 20000#" -e "11s#.*#fraction of unknowns: 0#" \
      -e "24s#.*#p0: fix 0.5#" -e "25s#.*#theta: con 1#" -e "26s#.*#phi: con 0.01#" -e "27s#.*#eta: con 1#" \
      -e "28s#.*#xi: con 0.3#" -e "29s#.*#nu: fix 0.2#" -e "32s#.*#l-lambda: fix 1#" -e "33s#.*#g-lambda: fix 1#" \
      -e "41s#.*#maximum \# iterations: 0#" "$here/tests/testdata/control_template.txt"
}

printf '%-7s %16s %8s %9s %s\n' leaves log-likelihood E-steps seconds optimality
for leaves in "${sizes[@]}"; do
  name=sim$leaves  # (a file name starting "rand" would read as the keyword random)
  simulation "$leaves" > $name.txt
  "$vorn" --seed 5 $name.txt > $name.sim.out 2>&1
  sed -e "3s#.*#tree: $name.phyl phyl#" -e "8s#.*#source: pat $name.wp.txt $name.ngp.txt#" \
      -e "41s#.*#maximum \# iterations: 1000#" -e "46s#.*#theta: con 1#" -e "51s#.*#l-lambda: fixed 1#" \
      -e "52s#.*#g-lambda: fixed 1#" "$here/tests/testdata/control_template.txt" > fit$leaves.txt
  printf 'optimizer: fast\nstarts: 8\nsearch: screen\n' >> fit$leaves.txt
  start=$(date +%s.%N)
  "$vorn" --seed 1 --threads 2 fit$leaves.txt > fit$leaves.out 2> fit$leaves.err || true
  end=$(date +%s.%N)
  ll=$(grep -A1 '^log likelihood:' fit$leaves.output.txt 2>/dev/null | tail -1 | tr -d '\t')
  steps=$(grep -o 'E-steps: [0-9]*' fit$leaves.out | tail -1 | cut -d' ' -f2)
  check=$(grep -o 'optimality check: [a-z]*' fit$leaves.out | tail -1 | cut -d' ' -f3)
  printf '%-7s %16s %8s %9.0f %s\n' "$leaves" "$ll" "$steps" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "$check"
done
