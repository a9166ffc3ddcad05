#!/usr/bin/env bash
# How well the per-site posteriors are calibrated against the truth: data simulated from a known
# model (a random tree of 50 leaves, 6,000 sites of one gene, loss and gain rates varying across
# sites, a share of sites that never gain) with every site's history tracked, then fitted with
# everything estimated; the fit's p_gain and p_loss of every (site, branch) pair are binned
# against the true events, beside the 0/1 calls of the Dollo reconstruction of the same patterns.
# Prints the reliability tables and the Brier scores (bench/calibration.py). About a minute.
#
#   bench/calibration.sh [BUILD-DIR] [LEAVES] [SITES] [SEED]   (defaults build, 50, 6000, 5)
#
# The runs go to a fresh folder under /tmp, which is left for inspection.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
vorn="$(cd "${1:-$here/build}" && pwd)/vorn"
leaves=${2:-50}
sites=${3:-6000}
seed=${4:-5}
folder=$(mktemp -d /tmp/vorn-calibration.XXXXXX)
cd "$folder"
echo "runs in $folder"

# The true model: p0 0.5, theta 1 and eta 1 per 1000 My, phi 0.01 and xi 0.3 on every branch,
# nu 0.2, both gamma shapes 1 (rates vary across sites).
sed -e "3s#.*#tree: random#" -e "4s#.*#number of leaves: $leaves#" -e "5s#.*#total time span: 1000#" \
    -e "2s#.*#time units: M#" -e "8s#.*#source: sim#" -e "9s#.*#number of genes: 1#" \
    -e "10s#.*#number of sites: const $sites#" -e "11s#.*#fraction of unknowns: 0#" \
    -e "12s#.*#track numbers of present characters: sites#" \
    -e "24s#.*#p0: fix 0.5#" -e "25s#.*#theta: con 1#" -e "26s#.*#phi: con 0.01#" -e "27s#.*#eta: con 1#" \
    -e "28s#.*#xi: con 0.3#" -e "29s#.*#nu: fix 0.2#" -e "32s#.*#l-lambda: fix 1#" -e "33s#.*#g-lambda: fix 1#" \
    -e "41s#.*#maximum \# iterations: 0#" "$here/tests/testdata/control_template.txt" > truth.txt
"$vorn" --seed "$seed" truth.txt > truth.out 2>&1

# The fit: everything estimated, 4 loss and 5 gain categories, every (site, branch) pair listed.
sed -e "3s#.*#tree: truth.phyl phyl#" -e "8s#.*#source: pat truth.wp.txt truth.ngp.txt#" \
    -e "41s#.*#maximum \# iterations: 1000#" -e "42s#.*#ancestral reconstruction: on#" \
    -e "46s#.*#theta: con 1#" -e "51s#.*#l-lambda: fixed 1#" -e "52s#.*#g-lambda: fixed 1#" \
    "$here/tests/testdata/control_template.txt" > fit.txt
printf 'optimizer: fast\nstarts: 4\nsearch: screen\nfamily posteriors: on\nevent threshold: 0\n' >> fit.txt
start=$(date +%s.%N)
"$vorn" --seed 1 --threads 2 fit.txt > fit.out 2> fit.err
end=$(date +%s.%N)
echo "fit: $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.0f", b - a }') s, log-likelihood" \
     "$(grep -A1 '^log likelihood:' fit.output.txt | tail -1 | tr -d '\t')"
python3 "$here/bench/calibration.py" truth.site_track.tsv fit.family_events.tsv fit.branches.tsv
