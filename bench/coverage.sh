#!/usr/bin/env bash
# How often the 95 % intervals of `standard errors: on` hold the true value: draws one tree of 30
# leaves, then REPLICATES data sets (default 100) from one known model on it (two genes of 4500
# sites, loss- and gain-rate variation, so that no parameter lies on one of the model's ridges;
# each site's rates drawn from the 4 loss and 5 gain categories the fit assumes, so that the
# model fitted is the model simulated),
# fits each with every parameter estimated (the fast optimizer from the true values, so that the
# fit finds the maximum near the truth rather than another region), and prints per parameter how
# many replicates determined it and how often its interval held the true value.
#
#   bench/coverage.sh BUILD-DIR [OUT-DIR] [REPLICATES] [JOBS]
#
# The replicates run JOBS at a time (default 2, one per core of the machine it was written for),
# each fit on one thread. About 14 minutes on two cores for 100 replicates.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build=${1:?usage: $0 BUILD-DIR [OUT-DIR] [REPLICATES] [JOBS]}
vorn="$(cd "$build" && pwd)/vorn"
out=${2:-/tmp/vorn-coverage}
replicates=${3:-100}
jobs=${4:-2}
mkdir -p "$out"
out="$(cd "$out" && pwd)"

# The true model (the simulation's lines 24-33) and the fit's starting values (lines 45-52): the
# true values where the control file can give them, the Dollo reconstruction for phi and xi.
truth=(
  [24]="p0: fix 0.6" [25]="theta: fix 4 6" [26]="phi: con 0.05" [27]="eta: fix 10 15" [28]="xi: con 0.5"
  [29]="nu: fix 0.3" [30]="minimal l-lambda value: 0.05" [31]="minimal g-lambda value: 0.06"
  [32]="l-lambda: fix 1" [33]="g-lambda: fix 2"
)
start=(
  [45]="p0: fix 0.6" [46]="theta: fix 4 6" [47]="phi: dollo" [48]="eta: fix 10 15" [49]="xi: dollo"
  [50]="nu: fix 0.3" [51]="l-lambda: fixed 1" [52]="g-lambda: fixed 2"
)

# Writes the 52 lines of a control file: the template's, with the given replacements.
# control FILE TREE-LINE SOURCE-LINE [N=TEXT ...]
control() {
  local file=$1 tree=$2 source=$3
  shift 3
  local -a lines
  mapfile -t lines < "$here/tests/testdata/control_template.txt"
  lines[2]="$tree"
  lines[7]="$source"
  for assignment in "$@"; do lines[$(( ${assignment%%=*} - 1 ))]="${assignment#*=}"; done
  printf '%s\n' "${lines[@]}" > "$file"
}

common=(
  "4=number of leaves: 30" "5=total time span: 100" "9=number of genes: 2" "10=number of sites: const 4500"
  "11=fraction of unknowns: 0.02" "36=# categories (loss distribution): 4" "37=# categories (gain distribution): 5"
  "38=likelihood tolerance: 1e-9" "41=maximum # iterations: 2000"
)
model=()
for n in 24 25 26 27 28 29 30 31 32 33; do model+=("$n=${truth[$n]}"); done

# The tree, once.
cd "$out"
control tree.txt "tree: random" "source: sim" "${common[@]}" "${model[@]}"
"$vorn" --seed 1 tree.txt > tree.log 2>&1
[[ -s tree.phyl ]] || { echo "no tree drawn (see $out/tree.log)" >&2; exit 1; }

replicate() {
  local r=$1 dir="$out/rep$1"
  mkdir -p "$dir" && cd "$dir"
  control sim.txt "tree: ../tree.phyl phyl" "source: sim" "${common[@]}" "${model[@]}" "53=simulated rates: categories"
  "$vorn" --seed "$r" sim.txt > sim.log 2>&1 || echo "replicate $r: simulation failed" >&2
  local -a fit=("${common[@]}")
  for n in 24 25 26 27 28 29 32 33; do fit+=("$n=${truth[$n]%%:*}: est"); done
  for n in 45 46 47 48 49 50 51 52; do fit+=("$n=${start[$n]}"); done
  fit+=("53=optimizer: fast" "54=standard errors: on")
  control fit.txt "tree: ../tree.phyl phyl" "source: pat sim.wp.txt sim.ngp.txt" "${fit[@]}"
  "$vorn" --seed "$r" fit.txt > fit.log 2>&1 || echo "replicate $r: fit failed" >&2
}
export -f replicate control
export out here vorn
begin=$(date +%s)
# Arrays do not cross export: each worker gets them again from this script's definitions.
seq 1 "$replicates" | xargs -P "$jobs" -I{} bash -c "$(declare -p truth start common model); replicate {}"
echo "replicates: $replicates in $(( $(date +%s) - begin )) s with $jobs at a time"

python3 - "$out" "$replicates" <<'PY'
import json, os, sys
out, n = sys.argv[1], int(sys.argv[2])
true = {("p0", None): 0.6, ("nu", None): 0.3, ("theta", 0): 4.0, ("theta", 1): 6.0, ("eta", 0): 10.0,
        ("eta", 1): 15.0, ("l-lambda", None): 1.0, ("g-lambda", None): 2.0}
counts = {}
for r in range(1, n + 1):
    path = os.path.join(out, "rep%d" % r, "fit.results.json")
    if not os.path.exists(path):
        continue
    for p in json.load(open(path))["parameters"]:
        key = (p["parameter"], p["index"])
        if p["parameter"] in ("phi", "xi"):
            value = 0.05 if p["parameter"] == "phi" else 0.5
        elif key in true:
            value = true[key]
        else:
            continue
        c = counts.setdefault(key, [0, 0, 0])
        c[0] += 1
        if p["determined"]:
            c[1] += 1
            c[2] += p["ci_low"] <= value <= p["ci_high"]
def label(key):
    return key[0] if key[1] is None else "%s[%d]" % key
branches = sorted({k[1] for k in counts if k[0] == "phi"})
shown = [k for k in counts if k[0] not in ("phi", "xi")]
for v in branches[:3] + branches[-3:]:
    shown += [("phi", v), ("xi", v)]
print("%-12s %7s %10s %9s" % ("parameter", "fitted", "determined", "coverage"))
for key in shown:
    fitted, determined, held = counts[key]
    share = "%.0f %%" % (100.0 * held / determined) if determined else "NA"
    print("%-12s %7d %10d %9s" % (label(key), fitted, determined, share))
for family in ("phi", "xi"):
    f = [counts[k] for k in counts if k[0] == family]
    d = sum(c[1] for c in f)
    print("%-12s %7d %10d %9s" % ("all " + family, sum(c[0] for c in f), d,
                                  "%.1f %%" % (100.0 * sum(c[2] for c in f) / d) if d else "NA"))
PY
