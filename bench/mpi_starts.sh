#!/usr/bin/env bash
# The screened search of plants30 with the example's settings (fast, 8 starts, screen), whose
# E-step is small enough that its starts are dealt out over the ranks: wall seconds on 1 and 2 MPI
# ranks of 1 thread each, in alternating rounds (take the minima), the load before each run, and
# whether every file, stdout and stderr equal those of the first 1-rank run (timing lines aside).
# Run it alone on the machine; a round takes about as long as two fits.
#
#   bench/mpi_starts.sh MPI-BUILD-DIR [ROUNDS] [DATA-DIR]   (default 2, ../shared/data)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
vorn="$(cd "$1" && pwd)/vorn"
rounds="${2:-2}"
data="$(cd "${3:-$here/../shared/data}" && pwd)/plants30"
folder=$(mktemp -d /tmp/vorn-mpi-starts.XXXXXX)
cd "$folder"
echo "runs in $folder"
launch=(mpirun --oversubscribe)
[[ "$(id -u)" -eq 0 ]] && launch+=(--allow-run-as-root)

timeless() {
  for f in $(cd "$1" && ls); do
    echo "== $f"
    sed -e '/^total running time:/d' -e '/"elapsed_seconds":/d' "$1/$f"
  done
}

for round in $(seq 1 "$rounds"); do
  for ranks in 1 2; do
    run="r${ranks}_$round"
    mkdir "$run"
    sed -e "s#^tree: .*#tree: $data/plants30.phyl phyl#" \
        -e "s#^source: .*#source: pat $data/plants30.wp.txt $data/plants30.ngp.txt#" \
        "$here/examples/primates.input.txt" > "$run/plants30.input.txt"
    load=$(cut -d' ' -f1 /proc/loadavg)
    start=$(date +%s.%N)
    (cd "$run" && "${launch[@]}" -np "$ranks" "$vorn" --seed 7 --threads 1 plants30.input.txt > ../"$run.out" \
       2> ../"$run.err")
    end=$(date +%s.%N)
    { timeless "$run"; cat "$run.out" "$run.err"; } > "$run.all"
    same=same
    cmp -s r1_1.all "$run.all" || same=DIFFERENT
    awk -v a="$start" -v b="$end" -v r="$ranks" -v n="$round" -v l="$load" -v s="$same" \
      'BEGIN { printf "ranks %d round %d: %.2f s (load %s before) files %s\n", r, n, b - a, l, s }'
  done
done
