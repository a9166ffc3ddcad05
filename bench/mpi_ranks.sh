#!/usr/bin/env bash
# One fit over 1 and 2 MPI ranks of 1 thread each, on the data of bench/thousand_leaves.sh (a random
# tree of 1,000 leaves, one gene of 20,000 sites): the wall seconds of reading alone (no iteration),
# and of a fit cut at a few iterations (EM, one start), the E-steps it took, and the seconds per
# E-step, (fit - reading) / E-steps, which counts the M-steps too. Needs a build with -DVORN_MPI=ON.
# Run it alone on the machine; it takes a few minutes. Checks that both rank counts wrote the same files.
#
#   bench/mpi_ranks.sh MPI-BUILD-DIR [ITERATIONS]   (default 5)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
vorn="$(cd "$1" && pwd)/vorn"
iterations="${2:-5}"
folder=$(mktemp -d /tmp/vorn-mpi-ranks.XXXXXX)
cd "$folder"
echo "runs in $folder"
launch=(mpirun --oversubscribe)
[[ "$(id -u)" -eq 0 ]] && launch+=(--allow-run-as-root)
template="$here/tests/testdata/control_template.txt"

sed -e "3s#.*#tree: random#" -e "4s#.*#number of leaves: 1000#" -e "5s#.*#total time span: 1000#" \
    -e "2s#.*#time units: M#" -e "8s#.*#source: sim#" -e "9s#.*#number of genes: 1#" \
    -e "10s#.*#number of sites: const 20000#" -e "11s#.*#fraction of unknowns: 0#" \
    -e "24s#.*#p0: fix 0.5#" -e "25s#.*#theta: con 1#" -e "26s#.*#phi: con 0.01#" -e "27s#.*#eta: con 1#" \
    -e "28s#.*#xi: con 0.3#" -e "29s#.*#nu: fix 0.2#" -e "32s#.*#l-lambda: fix 1#" -e "33s#.*#g-lambda: fix 1#" \
    -e "41s#.*#maximum \# iterations: 0#" "$template" > sim1000.txt
"$vorn" --seed 5 sim1000.txt > sim1000.out 2>&1

fit() {  # name iterations
  sed -e "3s#.*#tree: ../sim1000.phyl phyl#" -e "8s#.*#source: pat ../sim1000.wp.txt ../sim1000.ngp.txt#" \
      -e "41s#.*#maximum \# iterations: $2#" -e "46s#.*#theta: con 1#" -e "51s#.*#l-lambda: fixed 1#" \
      -e "52s#.*#g-lambda: fixed 1#" "$template" > "$1.txt"
}
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

printf '%-6s %9s %9s %8s %11s\n' ranks reading fit E-steps per-E-step
for ranks in 1 2; do
  mkdir -p "r$ranks" && cd "r$ranks"
  fit read 0
  fit cut "$iterations"
  start=$(date +%s.%N); "${launch[@]}" -np "$ranks" "$vorn" --seed 1 --threads 1 read.txt > read.out 2>&1; end=$(date +%s.%N)
  reading=$(seconds "$start" "$end")
  start=$(date +%s.%N); "${launch[@]}" -np "$ranks" "$vorn" --seed 1 --threads 1 cut.txt > cut.out 2>&1 || true; end=$(date +%s.%N)
  whole=$(seconds "$start" "$end")
  steps=$(python3 -c 'import json; print(json.load(open("cut.results.json"))["outcome"]["e_steps"])')
  printf '%-6s %9s %9s %8s %11s\n' "$ranks" "$reading" "$whole" "$steps" \
    "$(awk -v r="$reading" -v w="$whole" -v s="$steps" 'BEGIN { printf "%.3f", (w - r) / s }')"
  cd ..
done
for f in $(cd r1 && ls cut.*); do
  case "$f" in *.out|*.txt.tmp*) continue ;; esac
  cmp <(sed -e '/^total running time:/d' -e '/"elapsed_seconds":/d' "r1/$f") \
      <(sed -e '/^total running time:/d' -e '/"elapsed_seconds":/d' "r2/$f") || echo "differ: $f"
done
