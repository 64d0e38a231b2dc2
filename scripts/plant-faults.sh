#!/usr/bin/env bash
# Would the suite notice if these lines were slightly wrong? Plants each fault of a list alone in
# this tree, builds, runs the tests, and confirms every catch by the failing entry failing again
# when run alone (a failure that does not repeat is a flaky test, not a catch). Each planted file
# is put back from a copy taken before, also when the script is interrupted, so uncommitted work
# in the tree is kept.
#
# Usage: bash scripts/plant-faults.sh [--preset P] [--first REGEX] [--no-baseline] FAULTS.json
#   --preset P     the build to plant in (mingw-x64 by default)
#   --first REGEX  run the entries matching REGEX first; the whole suite runs only for a fault
#                  they do not catch (much quicker when the faults sit in one corner of the code)
#   --no-baseline  skip the run without any fault (it makes sure nothing fails before planting)
#
# FAULTS.json is a list of {"id", "file", "original", "replacement", "why"}: "original" must occur
# exactly once in "file" (a path from the top of the tree); "why" says what a user or a driver
# would notice. docs/testing.md says who writes the faults and what to do with one that lives.
#
# Prints one line per fault and, last, "CAUGHT k OF a; LIVED ids; NOT PLANTED ids". The work
# folder ($PLANT_FAULTS_DIR, /tmp/plant-faults by default) keeps every log and results.tsv.
# Exit status: 0 when every planted fault was caught, 1 when one lived, 2 on a bad list or a
# baseline that fails.
set -uo pipefail
cd "$(dirname "$0")/.."
preset=mingw-x64 first="" baseline=1
while [ $# -gt 1 ]; do
  case $1 in
    --preset) preset=$2; shift 2 ;;
    --first) first=$2; shift 2 ;;
    --no-baseline) baseline=0; shift ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] && [ -f "$1" ] || { sed -n '8,13p' "$0" >&2; exit 2; }
list=$(realpath "$1")
work=${PLANT_FAULTS_DIR:-/tmp/plant-faults}
rm -rf "$work" && mkdir -p "$work/saved"

# Checks the list as a whole before anything is built: every field there, ids unique and usable
# as file names, every original text found exactly once. Prints "id<TAB>file" for the plantable
# ones and "NA<TAB>id<TAB>reason" for the others.
python3 - "$list" >"$work/list.tsv" <<'EOF' || exit 2
import json, re, sys
faults = json.load(open(sys.argv[1]))
if not isinstance(faults, list):
    sys.exit("the list must be a JSON array")
seen = set()
for n, f in enumerate(faults):
    missing = [k for k in ("id", "file", "original", "replacement", "why") if not isinstance(f.get(k), str)]
    if missing:
        sys.exit(f"fault {n}: no {', '.join(missing)}")
    if not re.fullmatch(r"[A-Za-z0-9_.-]+", f["id"]) or f["id"] in seen:
        sys.exit(f"fault {n}: id {f['id']!r} is not unique or not a plain name")
    seen.add(f["id"])
    try:
        count = open(f["file"], encoding="utf-8").read().count(f["original"])
    except OSError:
        print(f"NA\t{f['id']}\tno file {f['file']}")
        continue
    if count != 1 or f["original"] == f["replacement"]:
        print(f"NA\t{f['id']}\toriginal text found {count} times" if count != 1 else f"NA\t{f['id']}\tchanges nothing")
        continue
    print(f"{f['id']}\t{f['file']}")
EOF

planted_file=""
put_back() {
  [ -n "$planted_file" ] && cp -p "$work/saved/current" "$planted_file"
  planted_file=""
}
trap 'put_back; exit 130' INT TERM
trap put_back EXIT

plant() {  # plant ID: replaces the original text of fault ID in its file
  python3 - "$list" "$1" <<'EOF'
import json, sys
f = next(x for x in json.load(open(sys.argv[1])) if x["id"] == sys.argv[2])
text = open(f["file"], encoding="utf-8").read()
open(f["file"], "w", encoding="utf-8").write(text.replace(f["original"], f["replacement"], 1))
EOF
}
why() {
  python3 -c 'import json,sys; print(next(x for x in json.load(open(sys.argv[1])) if x["id"] == sys.argv[2])["why"])' "$list" "$1"
}
# The entries that failed, timed out or crashed in a CTest log, but the prefix fixture and the
# reproducibility check, which fails on any planted change since it builds the committed sources.
failed_entries() {
  grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$1" | grep -E '\*\*\*(Failed|Timeout|Exception)|  Failed ' \
    | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' | grep -v -x -e wine_prefix -e package_reproducible | sort -u
}
suite() {  # suite LOG [ctest arguments]
  local log=$1; shift
  bash scripts/test.sh --preset "$preset" "$@" >"$log" 2>&1 </dev/null
}
# Runs the first entries, else the whole suite, then each failing entry alone; prints the first
# entry that failed twice.
catching_entry() {
  local id=$1 log entry
  log=$work/$id-suite.log
  if [ -n "$first" ]; then
    suite "$work/$id-first.log" -R "$first"
    [ -n "$(failed_entries "$work/$id-first.log")" ] && log=$work/$id-first.log || suite "$log" --stop-on-failure
  else
    suite "$log" --stop-on-failure
  fi
  for entry in $(failed_entries "$log"); do
    suite "$work/$id-again-$entry.log" -R "^$entry\$"
    if failed_entries "$work/$id-again-$entry.log" | grep -q -x "$entry"; then
      echo "$entry"
      return
    fi
  done
}

bash scripts/build.sh --preset "$preset" >"$work/build.log" 2>&1 || { echo "the tree does not build before planting ($work/build.log)" >&2; exit 2; }
if [ $baseline = 1 ]; then
  suite "$work/baseline.log" ${first:+-R "$first"}
  if [ -n "$(failed_entries "$work/baseline.log")" ]; then
    echo "fails before any fault is planted: $(failed_entries "$work/baseline.log" | tr '\n' ' ')($work/baseline.log)" >&2
    exit 2
  fi
fi

caught=0 applied=0 lived="" not_planted=""
: >"$work/results.tsv"
while IFS=$'\t' read -r -u 3 id file reason; do
  if [ "$id" = NA ]; then
    not_planted="$not_planted $file"
    echo "  $file: not planted, $reason"
    printf '%s\tnot-planted\t%s\n' "$file" "$reason" >>"$work/results.tsv"
    continue
  fi
  cp -p "$file" "$work/saved/current"
  planted_file=$file
  plant "$id"
  if ! bash scripts/build.sh --preset "$preset" >"$work/$id-build.log" 2>&1; then
    put_back
    not_planted="$not_planted $id"
    echo "  $id ($file): not planted, does not build ($work/$id-build.log)"
    printf '%s\tnot-planted\tdoes not build\n' "$id" >>"$work/results.tsv"
    continue
  fi
  applied=$((applied + 1))
  by=$(catching_entry "$id")
  put_back
  if [ -n "$by" ]; then
    caught=$((caught + 1))
    echo "  $id ($file): caught by $by"
    printf '%s\tcaught\t%s\n' "$id" "$by" >>"$work/results.tsv"
  else
    lived="$lived $id"
    echo "  $id ($file): LIVED: $(why "$id")"
    printf '%s\tlived\t%s\n' "$id" "$(why "$id")" >>"$work/results.tsv"
  fi
done 3<"$work/list.tsv"

bash scripts/build.sh --preset "$preset" >"$work/rebuild.log" 2>&1
echo "CAUGHT $caught OF $applied; LIVED${lived:- none}; NOT PLANTED${not_planted:- none}"
[ -z "$lived" ]
