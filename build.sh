#!/usr/bin/env bash
# build.sh — set-up, build, run and test zoomdive on Debian; installs what is missing.
#   ./build.sh run [ARGS...]   build and run the explorer zoomdive (ARGS go to it)
#   ./build.sh render [ARGS...] build and run the headless renderer zoomdive-render (ARGS go to
#                              it; without ARGS it writes the default view to view.png)
#   ./build.sh test            build and run every test, plain and under ASan+UBSan and TSan
#   ./build.sh bench [ARGS...] build Release and run zoomdive-bench (ARGS go to it); results
#                              also in bench-results.json
#   ./build.sh install [PREFIX] build Release and install both programs, the desktop entry, its
#                              icon and the man pages under PREFIX (default ~/.local)
set -euo pipefail
caller=$PWD  # the program runs where it was asked from, so relative paths mean what they say
cd "$(dirname "$0")"
root=$PWD

# The X server and the input tool are for the tests of the real window.
PACKAGES=(cmake g++ ninja-build pkg-config libpng-dev libgtest-dev libhwy-dev libbenchmark-dev libcli11-dev
  libmpfr-dev libsdl2-dev libx11-dev xvfb xdotool)
# Films as MP4 (zoomdive-render --video) go through ffmpeg at run time; the tests make one.
FILM_PACKAGES=(ffmpeg)

# install_missing [EXTRA PACKAGES...]
install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "build.sh: installing ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# configure DIR [CMAKE ARGS...]
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" >&2  # keep stdout for the program
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  run)
    install_missing
    build build -DZD_TESTS=OFF
    cd "$caller"
    exec "$root/build/zoomdive" "$@"
    ;;
  render)
    install_missing "${FILM_PACKAGES[@]}"
    build build -DZD_TESTS=OFF
    if [ $# -eq 0 ]; then
      set -- -o view.png
      echo "build.sh: writing the first picture of the default view to view.png" >&2
    fi
    cd "$caller"
    exec "$root/build/zoomdive-render" "$@"
    ;;
  test)
    install_missing "${FILM_PACKAGES[@]}"
    failed=()
    for variant in plain address thread; do
      dir=build-test-$variant
      san=${variant#plain}
      echo "== tests: $variant build ($dir)"
      if ! build "$dir" -DZD_SANITIZE="$san" -DZD_TESTS=ON; then
        failed+=("$variant (build)")
      elif ! ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"; then
        failed+=("$variant")
      fi
    done
    # One line over all three builds: a failure in an early build is easy to miss otherwise.
    if [ ${#failed[@]} -eq 0 ]; then
      echo "== tests: passed in all three builds (plain, address, thread)"
    else
      echo "== tests: FAILED in: ${failed[*]}"
      exit 1
    fi
    ;;
  bench)
    install_missing
    build build-bench -DZD_BENCH=ON -DZD_TESTS=OFF
    # Five runs of each case; the console shows their mean, median and spread, the file every run.
    exec build-bench/bench/zoomdive-bench --benchmark_repetitions=5 \
      --benchmark_display_aggregates_only=true \
      --benchmark_out=bench-results.json --benchmark_out_format=json "$@"
    ;;
  install)
    install_missing
    build build -DZD_TESTS=OFF
    prefix=${1:-$HOME/.local}
    case $prefix in /*) ;; *) prefix=$caller/$prefix ;; esac
    # A prefix the user cannot write (such as /usr/local) is written through sudo.
    mkdir -p "$prefix" 2>/dev/null || true
    sudo=()
    [ -w "$prefix" ] || [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" cmake --install build --prefix "$prefix"
    echo "build.sh: installed under $prefix (programs in $prefix/bin)" >&2
    ;;
  *)
    echo "usage: ./build.sh run|render|bench [ARGS...] | ./build.sh test | ./build.sh install [PREFIX]" >&2
    exit 2
    ;;
esac
