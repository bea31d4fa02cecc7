#!/usr/bin/env bash
# Times korendezo against the floor program (bench/floor.cc) on the same
# generated folders, for CR LF and for LF reports, with the files in the
# page cache (warm) and with the cache dropped before each run (cold), and
# runs the hot-path micro-benchmarks.
#
#   bench/run.sh
#
# Environment: SIZES (default "100 1000 2000 10000"), KINDS (default "crlf
# lf"), CACHES (default "warm cold"; cold needs root, and is skipped with a
# message without it), RUNS (timed runs of each program per folder, default
# 5), BUILD (build directory, default build-bench), BUILD_TYPE (default
# Release, as shipped), DATA (folders, default $BUILD/bench-data; all on
# one file system), KEEP=1 keeps the generated folders for the next run,
# KORENDEZO (an absolute path) times another korendezo binary, an older
# build say.
#
# Each run gets a fresh copy of the folder, made and flushed to disk with
# sync before the clock starts; cold, the page cache is then dropped
# (echo 3 > /proc/sys/vm/drop_caches), so that every file is read from the
# disk. The two programs alternate and swap their order every round. Peak
# RSS comes from /usr/bin/time -v when installed, else from wait4 in
# bench/measure.cc, on an untimed first run of each.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD:-$root/build-bench}
data=${DATA:-$build/bench-data}
sizes=${SIZES:-"100 1000 2000 10000"}
kinds=${KINDS:-"crlf lf"}
caches=${CACHES:-"warm cold"}
runs=${RUNS:-5}

if [[ " $caches " == *" cold "* ]] && { [ "$(id -u)" != 0 ] || [ ! -w /proc/sys/vm/drop_caches ]; }; then
  echo "run.sh: cold runs skipped: dropping the page cache needs root" >&2
  caches=$(echo " $caches " | sed 's/ cold / /; s/^ *//; s/ *$//')
fi
[ -n "$caches" ] || exit 0

build_type=${BUILD_TYPE:-Release}  # as the packages are built
cmake -S "$root" -B "$build" -DKORENDEZO_BENCH=ON -DKORENDEZO_TESTS=OFF \
  -DKORENDEZO_WERROR=ON -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
kor=${KORENDEZO:-$build/korendezo}
floor=$build/bench/bench_floor
measure=$build/bench/bench_measure
gen=$build/bench/bench_gen
mkdir -p "$data"
data=$(cd "$data" && pwd)

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "folders: $(df -T "$data" | awk 'NR == 2 { print $2 " on " $1 }') ($data)"
echo "build:   $build_type; $runs timed runs of each program per folder; korendezo: $kor"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) at the start (other work on the machine slows wall times)"
echo

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# fresh DIR MASTER CACHE: DIR becomes a copy of MASTER, on disk before
# timing, and for a cold run no longer in the page cache.
fresh() {
  rm -rf "$1"
  cp -a "$2" "$1"
  sync
  if [ "$3" = cold ]; then
    echo 3 >/proc/sys/vm/drop_caches
  fi
}

# check DIR LIST: every report of LIST sits in its directory, the rest in DIR.
check() {
  local moved left want_moved want_left
  moved=$(find "$1" -mindepth 2 -type f | wc -l)
  left=$(find "$1" -maxdepth 1 -type f -name '*.htm' | wc -l)
  want_moved=$(awk -F'\t' '$2 != "-"' "$2" | wc -l)
  want_left=$(awk -F'\t' '$2 == "-"' "$2" | wc -l)
  if [ "$moved" != "$want_moved" ] || [ "$left" != "$want_left" ]; then
    echo "run.sh: $1: $moved moved, $left .htm left; want $want_moved and $want_left" >&2
    exit 1
  fi
}

# timed PROGRAM DIR LIST: one measured run; prints "seconds maxrss_kb
# cpu_seconds".
timed() {
  local out
  if [ "$1" = korendezo ]; then
    out=$("$measure" "$2" "$data/korendezo.out" "$kor")
  else
    out=$("$measure" "$2" /dev/null "$floor" "$3")
  fi
  set -- "$1" "$2" "$3" $out
  if [ "$6" != 0 ]; then
    echo "run.sh: $1 exited with status $6" >&2
    exit 1
  fi
  echo "$4 $5 $7"
}

# rss PROGRAM DIR LIST: an untimed run; prints its peak RSS in KB.
rss() {
  if [ -x /usr/bin/time ]; then
    local args=("$kor")
    [ "$1" = floor ] && args=("$floor" "$3")
    "$measure" "$2" /dev/null /usr/bin/time -v -o "$data/time.txt" "${args[@]}" >/dev/null
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$data/time.txt"
  else
    timed "$@" | cut -d' ' -f2
  fi
}

declare -A med cpu rssk
for n in $sizes; do
  for kind in $kinds; do
    master=$data/$kind-$n
    list=$master.list
    if [ ! -e "$master.done" ]; then
      rm -rf "$master" "$list"
      "$gen" "$n" "$kind" "$master" "$list" >/dev/null
      sync
      touch "$master.done"
    fi
    # An untimed first run of each, for the RSS and to compare their trees:
    # the floor must do the same moves as korendezo.
    for prog in korendezo floor; do
      fresh "$data/work-$prog" "$master" warm
      rssk[$prog,$kind,$n]=$(rss "$prog" "$data/work-$prog" "$list")
      check "$data/work-$prog" "$list"
    done
    if ! diff -rq "$data/work-korendezo" "$data/work-floor" >/dev/null; then
      echo "run.sh: korendezo and the floor left different trees for $kind-$n" >&2
      exit 1
    fi
    for cache in $caches; do
      rm -f "$data"/times-*
      for ((i = 0; i < runs; i++)); do
        order="korendezo floor"
        ((i % 2)) && order="floor korendezo"
        for prog in $order; do
          fresh "$data/work-$prog" "$master" "$cache"
          timed "$prog" "$data/work-$prog" "$list" >>"$data/times-$prog"
          check "$data/work-$prog" "$list"
        done
      done
      for prog in korendezo floor; do
        med[$prog,$cache,$kind,$n]=$(cut -d' ' -f1 "$data/times-$prog" | median)
        cpu[$prog,$cache,$kind,$n]=$(cut -d' ' -f3 "$data/times-$prog" | median)
      done
    done
    rm -rf "$data"/work-*
    [ "${KEEP:-}" = 1 ] || rm -rf "$master" "$list" "$master.done"
  done
done

ratio() { echo "$1 $2" | awk '{ print $1 / $2 }'; }
echo "medians of wall time (and of user+sys CPU time), seconds; peak RSS of one warm run"
printf '%-5s %-5s %6s  %11s %9s %6s  %9s %9s %6s  %13s %11s\n' cache kind N \
  korendezo floor ratio "cpu kor." "cpu floor" ratio "RSS korendezo" "RSS floor"
for cache in $caches; do
  for n in $sizes; do
    for kind in $kinds; do
      k=$cache,$kind,$n
      printf '%-5s %-5s %6s  %11.4f %9.4f %6.3f  %9.4f %9.4f %6.3f  %10s KB %8s KB\n' \
        "$cache" "$kind" "$n" "${med[korendezo,$k]}" "${med[floor,$k]}" \
        "$(ratio "${med[korendezo,$k]}" "${med[floor,$k]}")" \
        "${cpu[korendezo,$k]}" "${cpu[floor,$k]}" \
        "$(ratio "${cpu[korendezo,$k]}" "${cpu[floor,$k]}")" \
        "${rssk[korendezo,$kind,$n]}" "${rssk[floor,$kind,$n]}"
    done
  done
done
set -- $sizes
if [ $# -ge 2 ]; then
  small=$1 large=${!#}
  echo
  echo "time per report (microseconds) at N = $sizes; peak RSS from N = $small to $large"
  for cache in $caches; do
    for kind in $kinds; do
      for prog in korendezo floor; do
        per=""
        for n in $sizes; do
          per+=$(echo "${med[$prog,$cache,$kind,$n]} $n" | awk '{ printf " %7.1f", $1 / $2 * 1e6 }')
        done
        printf '%-5s %-5s %-9s %s   %+d KB\n' "$cache" "$kind" "$prog" "$per" \
          "$((rssk[$prog,$kind,$large] - rssk[$prog,$kind,$small]))"
      done
    done
  done
fi

echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) at the end"
if [ -x "$build/bench/hot_paths" ]; then
  echo
  echo "hot_paths, $build_type build:"
  # Interleaved repetitions share out the disturbance of other load.
  "$build/bench/hot_paths" --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.2 2>&1
fi
