#!/usr/bin/env bash
# Runs a fixed set of control files (the three examples and fits of the shared data sets with
# both optimizers, conditioned and not, one and two threads, all with --seed 7) and keeps every
# file each run writes, so that two builds can be compared file by file: a change that should
# not move a single bit is checked with
#
#   bench/same_outputs.sh run OLD-BUILD /tmp/before
#   bench/same_outputs.sh run NEW-BUILD /tmp/after
#   bench/same_outputs.sh diff /tmp/before /tmp/after
#
# The diff leaves out what changes from run to run by design: the running time in the report,
# elapsed_seconds, the commit in results.json, and the progress lines on stdout.
# Takes about ten minutes on two cores. DATA-DIR defaults to ../shared/data.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
  echo "usage: $0 run BUILD-DIR OUT-DIR [DATA-DIR] | $0 diff DIR-A DIR-B" >&2
  exit 2
}

# name folder base optimizer starts limit [extra settings...]
control() {
  local name=$1 folder=$2 base=$3 optimizer=$4 starts=$5 limit=$6
  shift 6
  sed -e "s#^tree: .*#tree: $data/$folder/$base.phyl phyl#" \
      -e "s#^source: .*#source: pat $data/$folder/$base.wp.txt $data/$folder/$base.ngp.txt#" \
      -e "s#^parameter tolerance: .*#parameter tolerance: 1e-3#" \
      -e "s#^maximum \# iterations: .*#maximum \# iterations: $limit#" \
      -e "/^optimizer:/d" -e "/^starts:/d" -e "/^search:/d" "$here/examples/primates.input.txt" > "$out/$name/$name.input.txt"
  printf 'optimizer: %s\nstarts: %s\n' "$optimizer" "$starts" >> "$out/$name/$name.input.txt"
  for line in "$@"; do printf '%s\n' "$line" >> "$out/$name/$name.input.txt"; done
}

# name threads control-file: runs in the case's folder, keeping stdout, stderr and the status.
fit() {
  local name=$1 threads=$2 file=$3
  (cd "$out/$name" && set +e && "$vorn" --seed 7 --threads "$threads" "$file" > stdout.txt 2> stderr.txt
   echo $? > status.txt)
  echo "$name: status $(cat "$out/$name/status.txt")"
}

case_of() {  # name folder base optimizer starts limit threads [settings...]
  local name=$1 threads=$7
  mkdir -p "$out/$name"
  control "$1" "$2" "$3" "$4" "$5" "$6" "${@:8}"
  fit "$name" "$threads" "$name.input.txt"
}

run() {
  vorn="$(cd "$1" && pwd)/vorn"
  out="$(mkdir -p "$2" && cd "$2" && pwd)"
  data="$(cd "${3:-$here/../shared/data}" && pwd)"
  for example in primates families simulate; do
    mkdir -p "$out/$example"
    cp "$here"/examples/primates.* "$here"/examples/families.* "$here"/examples/mammals.nwk \
       "$here"/examples/simulate.input.txt "$out/$example/"
    rm -f "$out/$example"/primates.output.txt
    # Without the example's screened search, so that the case compares with builds from before it.
    sed -i '/^search:/d' "$out/$example/primates.input.txt"
    fit "$example" 1 "$example.input.txt"
  done
  # The detailed reconstruction and fixed shapes (the invariants and the coupled search).
  mkdir -p "$out/primates-detailed"
  cp "$here"/examples/primates.* "$out/primates-detailed/"
  sed -e 's/^ancestral reconstruction: .*/ancestral reconstruction: detailed/' \
      -e 's/^l-lambda: est/l-lambda: fix inf/' -e 's/^g-lambda: est/g-lambda: fix inf/' \
      -e '/^starts:/d' -e '/^search:/d' "$here/examples/primates.input.txt" > "$out/primates-detailed/detailed.input.txt"
  fit primates-detailed 1 detailed.input.txt
  mkdir -p "$out/primates-em"
  cp "$here"/examples/primates.* "$out/primates-em/"
  sed -e '/^optimizer:/d' -e '/^starts:/d' -e '/^search:/d' "$here/examples/primates.input.txt" > "$out/primates-em/em.input.txt"
  fit primates-em 1 em.input.txt
  for optimizer in em fast; do
    case_of sim32-$optimizer sim32 sim32 $optimizer 1 3000 1
    case_of mammals12-$optimizer mammals12 mammals12 $optimizer 1 1000 1
    case_of plants30_3k-$optimizer plants30 plants30_3k $optimizer 1 1000 1
  done
  case_of plants30-em plants30 plants30 em 1 200 2
  case_of plants30-fast plants30 plants30 fast 1 1000 2
  case_of mammals12-fast-starts mammals12 mammals12 fast 4 1000 2
  case_of plants30_3k-conditioned plants30 plants30_3k fast 2 1000 1 "condition on presence: on"
  case_of sim32-gene-fixed sim32 sim32 fast 1 1000 2 "condition on presence: on"
}

# Every file of a run, less what changes between runs by design.
normalized() {
  case "$1" in
    */stdout.txt) grep -v -e $'\r' -e '^   [0-9]* iterations' -e '^      gene [0-9]*/' "$1" || true ;;
    *.output.txt) grep -v '^total running time:' "$1" ;;
    *.results.json) grep -v -e '"elapsed_seconds"' -e '"commit"' "$1" ;;
    *) cat "$1" ;;
  esac
}

compare() {
  local a=$1 b=$2 differ=0
  while IFS= read -r file; do
    if [[ ! -e "$b/$file" ]]; then
      echo "only in $a: $file"; differ=1; continue
    fi
    if ! cmp -s <(normalized "$a/$file") <(normalized "$b/$file"); then
      echo "differs: $file"; differ=1
    fi
  done < <(cd "$a" && find . -type f | sort)
  while IFS= read -r file; do
    [[ -e "$a/$file" ]] || { echo "only in $b: $file"; differ=1; }
  done < <(cd "$b" && find . -type f | sort)
  [[ $differ -eq 0 ]] && echo "same outputs"
  return $differ
}

case "${1:-}" in
  run) [[ $# -ge 3 ]] || usage; run "$2" "$3" "${4:-}" ;;
  diff) [[ $# -eq 3 ]] || usage; compare "$2" "$3" ;;
  *) usage ;;
esac
