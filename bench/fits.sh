#!/usr/bin/env bash
# Fits the shared data sets from the template's starts (everything estimated, 4 loss and 5 gain
# categories, likelihood tolerance 1e-6, parameter tolerance 1e-3) with each optimizer, and prints
# E-steps, seconds and the log-likelihood reached. Usage: bench/fits.sh [BUILD-DIR] [DATA-DIR]
# (defaults build and ../shared/data). Run it alone on the machine: it times whole runs.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
vorn="$(cd "${1:-$here/build}" && pwd)/vorn"
data="$(cd "${2:-$here/../shared/data}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

control() {  # name folder base optimizer starts limit
  sed -e "s#^tree: .*#tree: $data/$2/$3.phyl phyl#" \
      -e "s#^source: .*#source: pat $data/$2/$3.wp.txt $data/$2/$3.ngp.txt#" \
      -e "s#^parameter tolerance: .*#parameter tolerance: 1e-3#" \
      -e "s#^maximum \# iterations: .*#maximum \# iterations: $6#" \
      -e "s#^ancestral reconstruction: .*#ancestral reconstruction: off#" \
      -e "/^optimizer:/d" -e "/^starts:/d" -e "/^search:/d" "$here/examples/primates.input.txt" > "$work/$1.input.txt"
  printf 'optimizer: %s\nstarts: %s\n' "$4" "$5" >> "$work/$1.input.txt"
}

printf '%-12s %-9s %6s %9s %9s %16s\n' data optimizer starts E-steps seconds log-likelihood
run() {  # name folder base optimizer starts limit
  control "$@"
  local start end
  start=$(date +%s.%N)
  (cd "$work" && "$vorn" --seed 1 "$1.input.txt" > "$1.out" 2> "$1.err")
  end=$(date +%s.%N)
  local steps ll
  steps=$(grep -o 'E-steps: [0-9]*' "$work/$1.out" | tail -1 | cut -d' ' -f2)
  ll=$(grep -A1 '^log likelihood:' "$work/$1.output.txt" | tail -1 | tr -d '\t')
  printf '%-12s %-9s %6s %9s %9.1f %16s\n' "$3" "$4" "$5" "$steps" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "$ll"
}

run sim32-em sim32 sim32 em 1 3000
run sim32-fast sim32 sim32 fast 1 3000
run plants-em plants30 plants30_3k em 1 1000
run plants-fast plants30 plants30_3k fast 1 1000
run mammals-em mammals12 mammals12 em 1 1000
run mammals-fast mammals12 mammals12 fast 8 1000
