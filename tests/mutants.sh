#!/usr/bin/env bash
# mutants.sh — breaks the program on purpose, one break at a time, and names the tests that
# notice. The breaks are listed in tests/mutants.txt (the format is described there).
#
#   tests/mutants.sh [NAME...]    every break, or only those named
#
# Each break is made in a scratch copy of the tree, never in the working tree; the copy is
# built incrementally in the plain test configuration and tested. Prints per break
#   NAME: caught by: TEST TEST ...    or    NAME: NOT CAUGHT
# and ends with status 1 if a break went uncaught or could not be made.
# Environment: ZD_MUTANTS_DIR, the scratch folder (default /tmp/zd-mutants);
# ZD_MUTANT_TIMEOUT, seconds a test may take before it counts as failed (default 30): a
# break may make a test hang.
set -uo pipefail
shopt -u patsub_replacement 2>/dev/null || true  # '&' in a replacement is just '&'

root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/tests/mutants.txt
scratch=${ZD_MUTANTS_DIR:-/tmp/zd-mutants}
timeout=${ZD_MUTANT_TIMEOUT:-30}
tree=$scratch/tree
build=$scratch/build
log=$scratch/log
mkdir -p "$tree" "$log"

# Copies only the files that differ, so that the build recompiles only what a break touches.
sync_tree() {
  (cd "$root" && find CMakeLists.txt src tests data docs -type f) | while read -r f; do
    if ! cmp -s "$root/$f" "$tree/$f"; then
      mkdir -p "$(dirname "$tree/$f")"
      cp "$root/$f" "$tree/$f"
    fi
  done
  (cd "$tree" && find CMakeLists.txt src tests data docs -type f) | while read -r f; do
    [ -e "$root/$f" ] || rm -f "$tree/$f"
  done
}

build_tree() {
  cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZD_TESTS=ON \
    -DZD_TEST_TIMEOUT="$timeout" >"$log/$1.build" 2>&1 &&
    cmake --build "$build" -j2 >>"$log/$1.build" 2>&1
}

# Runs the tests (extra ctest arguments in $2); prints the names of those that failed.
failing_tests() {
  local args=$2
  # shellcheck disable=SC2086  # the arguments are words
  ctest --test-dir "$build" $args -j2 >"$log/$1.ctest" 2>&1
  grep -q "tests passed" "$log/$1.ctest" || echo "(ctest ran nothing: see $log/$1.ctest)"
  sed -n '/The following tests FAILED:/,$p' "$log/$1.ctest" |
    sed -nE 's/^[[:space:]]+[0-9]+ - ([^ ]+) \(Failed\)$/\1/p; s/^[[:space:]]+[0-9]+ - ([^ ]+) \((.*)\)$/\1 (\2)/p'
}

# Replaces the one occurrence of $2 in file $1 of the copy by $3.
apply() {
  local f=$tree/$1 content rest count=0
  [ -f "$f" ] || return 1
  content=$(cat "$f" && printf x)
  content=${content%x}
  rest=$content
  while [[ $rest == *"$2"* ]]; do
    rest=${rest#*"$2"}
    count=$((count + 1))
  done
  [ "$count" -eq 1 ] || return 1
  printf '%s' "${content/"$2"/"$3"}" >"$f"
}

only=("$@")
wanted() {
  [ ${#only[@]} -eq 0 ] && return 0
  for w in "${only[@]}"; do [ "$w" = "$1" ] && return 0; done
  return 1
}

sync_tree
echo "== baseline: building the unchanged copy in $build" >&2
if ! build_tree baseline; then
  echo "the unchanged tree does not build: $log/baseline.build" >&2
  exit 2
fi
base=$(failing_tests baseline "-E Window")
if [ -n "$base" ]; then
  echo "the unchanged tree fails its tests: $base" >&2
  exit 2
fi

status=0
run_entry() {
  local name=$1 file=$2 from=$3 to=$4 args=$5
  if ! apply "$file" "$from" "$to"; then
    echo "$name: NOT MADE (the text does not occur exactly once in $file)"
    status=1
    return
  fi
  if ! build_tree "$name"; then
    echo "$name: NOT MADE (it does not build: $log/$name.build)"
    status=1
  else
    local caught
    caught=$(failing_tests "$name" "$args" | tr '\n' ' ')
    if [ -n "$caught" ]; then
      echo "$name: caught by: ${caught% }"
    else
      echo "$name: NOT CAUGHT"
      status=1
    fi
  fi
  cp "$root/$file" "$tree/$file"  # a new time stamp: the next build recompiles it
}

# Entries: "key: value" lines, a blank line after each; '#' lines are comments.
name='' file='' from='' to='' args='-E Window' have_to=0
flush() {
  if [ -n "$name" ] && wanted "$name"; then
    if [ -z "$file" ] || [ -z "$from" ] || [ "$have_to" -eq 0 ]; then
      echo "$name: NOT MADE (the entry needs file, from and to)"
      status=1
    else
      run_entry "$name" "$file" "$from" "$to" "$args"
    fi
  fi
  name='' file='' from='' to='' args='-E Window' have_to=0
}
# The list is read on its own descriptor: a program a break runs must not eat its lines.
while IFS= read -r -u 3 line || [ -n "$line" ]; do
  case "$line" in
    '#'*) ;;
    '') flush ;;
    name:*) name=${line#name:} name=${name#"${name%%[! ]*}"} ;;
    file:*) file=${line#file:} file=${file#"${file%%[! ]*}"} ;;
    from:*) from=${line#from:} from=${from#"${from%%[! ]*}"} ;;
    to:*) to=${line#to:} to=${to#"${to%%[! ]*}"} have_to=1 ;;
    ctest:*) args=${line#ctest:} ;;
    breaks:*) ;;
    *) echo "mutants.txt: cannot read: $line" >&2 ;;
  esac
done 3<"$list" </dev/null
flush
exit "$status"
