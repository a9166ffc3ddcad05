#!/usr/bin/env bash
# A fit shared among 1, 2 and 3 MPI ranks (and 2 threads per rank) writes the files of the same
# fit byte for byte, the running times aside, and prints the same lines and warnings; the example's
# screened search (8 starts, an E-step too small to share) spreads its starts over the ranks. A rank
# that cannot read its input ends every rank with status 1, its error printed once, and leaves no
# file behind; so does a fit whose every start is impossible, on every rank at once.
#   ranks_test.sh VORN MPIEXEC SOURCE-DIR
set -euo pipefail
vorn="$1" mpiexec="$2" source="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
launch=("$mpiexec" --oversubscribe)
[[ "$(id -u)" -eq 0 ]] && launch+=(--allow-run-as-root)

# Every file of a run, its timing lines left out.
timeless() {
  for f in $(cd "$1" && ls); do
    echo "== $f"
    sed -e '/^total running time:/d' -e '/"elapsed_seconds":/d' "$1/$f"
  done
}

for run in "1 1" "2 1" "3 1" "2 2" "3 2"; do
  set -- $run
  folder="$work/control_$1_$2"
  mkdir "$folder"
  cp "$source"/examples/primates.{input.txt,phyl,wp.txt,ngp.txt} "$folder"
  (cd "$folder" && "${launch[@]}" -np "$1" "$vorn" --seed 7 --threads "$2" primates.input.txt \
     > "$work/control_$1_$2.out" 2> "$work/control_$1_$2.err")
  timeless "$folder" > "$work/control_$1_$2.txt"
  cat "$work/control_$1_$2.out" "$work/control_$1_$2.err" >> "$work/control_$1_$2.txt"
  cmp "$work/control_1_1.txt" "$work/control_$1_$2.txt"
done
# Both phases ran, so both exchanges were used: some starts were screened out, some climbed on.
grep -q 'screened out$' "$work/control_1_1.out"
grep -Eq 'optimality check (passed|failed)$' "$work/control_1_1.out"

# A start of 1e-9 for l-lambda makes some starts warn on their way (their Newton steps for theta):
# warnings held by the rank that climbed the start, given by every rank in start order.
for ranks in 1 2 3; do
  folder="$work/warning_$ranks"
  mkdir "$folder"
  cp "$source"/examples/primates.{phyl,wp.txt,ngp.txt} "$folder"
  sed -e '51s/.*/l-lambda: fixed 1e-9/' "$source/examples/primates.input.txt" > "$folder/primates.input.txt"
  (cd "$folder" && "${launch[@]}" -np "$ranks" "$vorn" --seed 3 primates.input.txt > "$work/warning_$ranks.out" \
     2> "$work/warning_$ranks.err")
  timeless "$folder" > "$work/warning_$ranks.txt"
  cat "$work/warning_$ranks.out" "$work/warning_$ranks.err" >> "$work/warning_$ranks.txt"
  cmp "$work/warning_1.txt" "$work/warning_$ranks.txt"
done
grep -q '^Warning:VORN:EM:Run: theta of gene #2 did not converge' "$work/warning_1.err"

for ranks in 1 2 3; do
  (cd "$work" && "${launch[@]}" -np "$ranks" "$vorn" fit --tree "$source/examples/mammals.nwk" \
     --data "$source/examples/families.tsv" --prefix "fit_$ranks/families" --seed 5 --starts 3 \
     > "$work/fit_$ranks.out" 2> /dev/null)
  # The control file's note repeats the command line, which names the prefix.
  sed -i -e 's#fit_[0-9]/#fit_N/#g' "$work/fit_$ranks/families.input.txt" "$work/fit_$ranks/families.results.json"
  timeless "$work/fit_$ranks" > "$work/fit_$ranks.txt"
  sed -e 's#fit_[0-9]/#fit_N/#g' "$work/fit_$ranks.out" >> "$work/fit_$ranks.txt"
  cmp "$work/fit_1.txt" "$work/fit_$ranks.txt"
done

folder="$work/failing"
mkdir "$folder"
cp "$source"/examples/primates.{input.txt,phyl,wp.txt,ngp.txt} "$folder"
status=0
(cd "$folder" && timeout 60 "${launch[@]}" -np 3 sh -c \
   'if [ "${OMPI_COMM_WORLD_RANK:-0}" = 1 ]; then exec "$0" --seed 3 missing.input.txt; else exec "$0" --seed 3 primates.input.txt; fi' \
   "$vorn" > /dev/null 2> "$work/failing.err") || status=$?
[[ $status -eq 1 ]] || { echo "status $status, not 1"; exit 1; }
[[ $(grep -c '^Error:VORN:' "$work/failing.err") -eq 1 ]] || { cat "$work/failing.err"; exit 1; }
grep -q '^Error:VORN:Main: The input file missing.input.txt cannot be found$' "$work/failing.err"
[[ $(ls "$folder" | wc -l) -eq 4 ]] || { ls "$folder"; exit 1; }
# Every start impossible (a gain shape too small for its categories): each rank finds it in the
# screening's exchange, so none waits for the others, and the error is printed once.
folder="$work/impossible"
mkdir "$folder"
cp "$source"/examples/primates.{phyl,wp.txt,ngp.txt} "$folder"
sed -e '33s/.*/g-lambda: fix 1e-5/' "$source/examples/primates.input.txt" > "$folder/primates.input.txt"
status=0
(cd "$folder" && timeout 60 "${launch[@]}" -np 3 "$vorn" --seed 3 primates.input.txt > /dev/null \
   2> "$work/impossible.err") || status=$?
[[ $status -eq 1 ]] || { echo "status $status, not 1"; exit 1; }
[[ $(grep -c '^Error:VORN:' "$work/impossible.err") -eq 1 ]] || { cat "$work/impossible.err"; exit 1; }
grep -q '^Error:VORN:EM:Run: The gain rate categories of g-lambda = 1e-05 are not numbers' "$work/impossible.err"
[[ $(ls "$folder" | wc -l) -eq 4 ]] || { ls "$folder"; exit 1; }
echo ok
