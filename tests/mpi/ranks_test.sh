#!/usr/bin/env bash
# A fit shared among 1, 2 and 3 MPI ranks (and 2 threads per rank) writes the files of the same
# fit byte for byte, the running times aside; a rank that cannot read its input ends every rank with
# status 1, its error printed once, and leaves no file behind.
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

for run in "1 1" "2 1" "3 1" "2 2"; do
  set -- $run
  folder="$work/control_$1_$2"
  mkdir "$folder"
  cp "$source"/examples/primates.{input.txt,phyl,wp.txt,ngp.txt} "$folder"
  (cd "$folder" && "${launch[@]}" -np "$1" "$vorn" --seed 7 --threads "$2" primates.input.txt > /dev/null 2> err.txt)
  rm "$folder/err.txt"
  timeless "$folder" > "$work/control_$1_$2.txt"
  cmp "$work/control_1_1.txt" "$work/control_$1_$2.txt"
done

for ranks in 1 3; do
  (cd "$work" && "${launch[@]}" -np "$ranks" "$vorn" fit --tree "$source/examples/mammals.nwk" \
     --data "$source/examples/families.tsv" --prefix "fit_$ranks/families" --seed 5 --starts 3 2> /dev/null)
  # The control file's note repeats the command line, which names the prefix.
  sed -i -e 's#fit_[0-9]/#fit_N/#g' "$work/fit_$ranks/families.input.txt" "$work/fit_$ranks/families.results.json"
  timeless "$work/fit_$ranks" > "$work/fit_$ranks.txt"
done
cmp "$work/fit_1.txt" "$work/fit_3.txt"

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
echo ok
