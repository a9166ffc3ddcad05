#!/usr/bin/env bash
# The bootstrap workflow's table and intervals from three hand-made replicates, against golden files
# worked by hand: at level 0.5 the percentiles 0.25 and 0.75 of three sorted values x0 <= x1 <= x2
# are (x0 + x1) / 2 and (x1 + x2) / 2. A replicate whose parameters differ from the model's is refused.
#   collect_test.sh SOURCE-DIR
set -euo pipefail
source="$1"
data="$source/tests/testdata/bootstrap"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$source/workflows/bootstrap/collect.py" --level 0.5 --model "$data/original.results.json" \
  --table "$work/replicates.tsv" --intervals "$work/intervals.tsv" "$data"/b_{1,2,3}.results.json
diff "$data/replicates.golden.tsv" "$work/replicates.tsv"
diff "$data/intervals.golden.tsv" "$work/intervals.tsv"
# Other parameters than the model's: an error and no table.
python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); r["parameters"].pop(); json.dump(r, open(sys.argv[2], "w"))' \
  "$data/b_1.results.json" "$work/b_short.results.json"
if python3 "$source/workflows/bootstrap/collect.py" --model "$data/original.results.json" --table "$work/t2.tsv" \
     --intervals "$work/i2.tsv" "$work/b_short.results.json" 2> "$work/err"; then
  echo "a replicate with fewer parameters was accepted"; exit 1
fi
grep -q "has other parameters" "$work/err"
[[ ! -e "$work/t2.tsv" ]]
echo ok
