#!/usr/bin/env bash
# Times korendezo against the two floors of bench/floor.cc, the safe floor
# (floor --safe: the precautions a careful sorter takes, at their least
# cost) and the bare floor (the moves alone), on the same generated folders,
# warm (the folder in the page cache) and cold (the cache dropped before
# each run), on a journaled ext4 file system in a loop image that the script
# makes, mounts and removes; then runs the hot-path micro-benchmarks.
#
#   bench/run.sh                         every case, 5 runs of each program
#   QUICK=1 bench/run.sh                 one case (pairs1000), warm, 3 runs, no hot paths
#   QUICK=1 CASES=weekly-new bench/run.sh
#   CASES="lf150" CACHES=cold bench/run.sh
#   SYSCALLS=1 CASES=weekly-new bench/run.sh   also strace -c per report
#
# Cases (CASES, default all but the single today-KIND-N ones):
#   pairs150        2,000 CR LF reports of 50 KB over 150 player/title pairs,
#                   interleaved; warm and cold
#   pairs1000       the same over 1,000 pairs; warm and cold
#   weekly-new      a folder sorted before: 950 directories holding 5 older
#                   reports each, and one new CR LF report of 20 KB for each
#                   directory; warm
#   weekly-replace  the same, each new report taking the name of an older
#                   one in its directory, which it replaces; warm
#   lf150           1,000 LF reports of 50 KB over 150 pairs; warm and cold
#   today           the folders of before: 12 pairs, SIZES entries (default
#                   "100 1000 2000 10000") of each KIND (default "crlf lf"),
#                   nine in ten reports of 20-200 KB, the rest other files;
#                   warm and cold. One alone: today-crlf-2000, today-lf-1000...
#   mem10k          10,000 reports of 20-200 KB over 1,000 pairs, CR LF and
#                   LF (mem10k-crlf, mem10k-lf): peak RSS only, not timed
# Setting SIZES or KINDS without CASES runs only the today case.
#
# Environment: RUNS (timed runs of each program per case and cache, default
# 5), CACHES (default: each case's own; cold needs root, and is skipped
# with a message without it), BUILD (build directory, default build-bench),
# BUILD_TYPE (default Release, as shipped), IMAGE (the loop image, default
# $BUILD/bench.img, mounted on $BUILD/bench-mnt), IMAGE_GB (its size,
# default 10; sparse, so only what is written takes room), LOOP=0 uses DATA
# (default $BUILD/bench-data, on the file system it is on) instead of an
# image, as it does without root; KEEP=1 keeps the generated folders for the
# next run (and the image, unmounted), KORENDEZO (an absolute path) times another
# korendezo binary, an older build say, HOT_PATHS=0 skips the
# micro-benchmarks, NOFILE (default 1024, a Debian login's) is the soft
# limit of open files both programs start with: korendezo holds as many
# directories open as it allows.
#
# Each run gets a fresh copy of the folder, made and flushed to disk with
# sync before the clock starts; cold, the page cache is then dropped
# (echo 3 > /proc/sys/vm/drop_caches), so that every file is read from the
# disk. The three programs take turns, each round starting with the next
# one; the figures are medians, and beside the ratio of the medians is the
# median of each round's ratio, which a disturbance of a few seconds moves
# less. Peak RSS comes from /usr/bin/time -v when installed, else from
# wait4 in bench/measure.cc, on an untimed first run of each, after which
# the trees are compared: each floor must leave what korendezo leaves.
# Every run's figures, and the system calls, go to $BUILD/bench-results.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS
build=${BUILD:-$root/build-bench}
results=$build/bench-results
sizes=${SIZES:-"100 1000 2000 10000"}
kinds=${KINDS:-"crlf lf"}
if [ "${QUICK:-0}" = 1 ]; then
  runs=${RUNS:-3}
  cases=${CASES:-pairs1000}
  CACHES=${CACHES:-warm}
  hot=${HOT_PATHS:-0}
else
  runs=${RUNS:-5}
  default_cases="pairs150 pairs1000 weekly-new weekly-replace lf150 today mem10k"
  if [ -n "${SIZES:-}${KINDS:-}" ]; then
    default_cases=today
  fi
  cases=${CASES:-$default_cases}
  hot=${HOT_PATHS:-1}
fi

nofile=${NOFILE:-1024}
ulimit -Sn "$nofile"
can_cold=1
if [ "$(id -u)" != 0 ] || [ ! -w /proc/sys/vm/drop_caches ]; then
  can_cold=0
fi
loop=${LOOP:-1}
if [ "$loop" = 1 ] && [ "$(id -u)" != 0 ]; then
  echo "run.sh: no loop image without root: the folders go on the file system of ${DATA:-$build/bench-data}" >&2
  loop=0
fi

# describe ID: sets kind, n (reports, or entries for today's), gen_args,
# timed (0: peak RSS only), def_caches and the bounds of the ratios:
# korendezo/safe floor warm (tgt_safe), korendezo/bare floor warm and cold
# (tgt_warm, tgt_cold); "-" where there is none.
describe() {
  gen_args=() timed=1 def_caches="warm cold" tgt_safe=- tgt_warm=- tgt_cold=-
  case $1 in
    pairs150) kind=crlf n=2000 gen_args=(--pairs 150 --size 50)
      tgt_safe=1.05 tgt_warm=1.05 tgt_cold=0.55 ;;
    pairs1000) kind=crlf n=2000 gen_args=(--pairs 1000 --size 50)
      tgt_safe=1.05 tgt_warm=1.1 tgt_cold=0.65 ;;
    weekly-new) kind=crlf n=950 def_caches=warm tgt_safe=1.05 tgt_warm=1.15
      gen_args=(--pairs 950 --sorted 5 --size 20) ;;
    weekly-replace) kind=crlf n=950 def_caches=warm tgt_safe=1.05 tgt_warm=1.2
      gen_args=(--pairs 950 --sorted 5 --size 20 --replace) ;;
    lf150) kind=lf n=1000 gen_args=(--pairs 150 --size 50)
      tgt_safe=0.3 tgt_warm=0.4 tgt_cold=0.5 ;;
    mem10k-crlf | mem10k-lf) kind=${1#mem10k-} n=10000 gen_args=(--pairs 1000)
      timed=0 def_caches=warm ;;
    today-crlf-[1-9]* | today-lf-[1-9]*)
      n=${1##*-} kind=${1#today-} kind=${kind%-*} ;;
    *) echo "run.sh: no case $1" >&2; exit 2 ;;
  esac
}

ids=()
for c in $cases; do
  case $c in
    today) for n in $sizes; do for k in $kinds; do ids+=("today-$k-$n"); done; done ;;
    mem10k) ids+=(mem10k-crlf mem10k-lf) ;;
    *) ids+=("$c") ;;
  esac
done
for id in "${ids[@]}"; do describe "$id"; done  # an unknown case stops here

build_type=${BUILD_TYPE:-Release}  # as the packages are built
cmake -S "$root" -B "$build" -DKORENDEZO_BENCH=ON -DKORENDEZO_TESTS=OFF \
  -DKORENDEZO_WERROR=ON -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
kor=${KORENDEZO:-$build/korendezo}
floor=$build/bench/bench_floor
measure=$build/bench/bench_measure
gen=$build/bench/bench_gen
mkdir -p "$results"
# Two runs on one build would remove each other's copies and image.
exec 9>"$build/bench.lock"
if ! flock -n 9; then
  echo "run.sh: another run uses $build: waiting for it" >&2
  flock 9
fi

# The folders go on a journaled ext4 in a loop image: the machine's own
# file system may have no journal and discard what is removed, and there
# the time of a run moved several-fold with what the run before removed.
# The image is sparse, made without lazy initialisation (no kernel thread
# writing its inode tables during the runs) and mounted without discard.
image=${IMAGE:-$build/bench.img}
mnt=$build/bench-mnt
unmount() {
  cd "$root"
  if mountpoint -q "$mnt"; then
    umount "$mnt" 2>/dev/null || umount -l "$mnt"
  fi
  rmdir "$mnt" 2>/dev/null || true
  [ "${KEEP:-}" = 1 ] || rm -f "$image"
}
if [ "$loop" = 1 ]; then
  trap unmount EXIT
  trap 'exit 130' INT TERM HUP
  mkdir -p "$mnt"
  if ! mountpoint -q "$mnt"; then
    if [ ! -e "$image" ]; then
      truncate -s "${IMAGE_GB:-10}G" "$image"
      mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image"
    fi
    mount -o loop "$image" "$mnt"
  fi
  data=$mnt
else
  data=${DATA:-$build/bench-data}
  mkdir -p "$data"
  data=$(cd "$data" && pwd)
fi
strace=$(command -v strace || true)
if [ "${SYSCALLS:-0}" = 1 ] && [ -z "$strace" ]; then
  echo "run.sh: SYSCALLS=1 needs strace" >&2
  exit 1
fi

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
fs=$(df -T "$data" | awk 'NR == 2 { print $2 " on " $1 }')
case $fs in
  ext3* | ext4*)  # a journal orders metadata and changes what fsync costs
    if compgen -G "/proc/fs/jbd2/${fs##*/}-*" >/dev/null; then
      fs+=", with a journal"
    else
      fs+=", without a journal"
    fi ;;
esac
[ "$loop" = 1 ] && fs+=", a loop image of $(($(stat -c %s "$image") >> 30)) GB ($image)"
echo "folders: $fs ($data)"
echo "build:   $build_type; $runs timed runs of each program per case and cache"
echo "source:  $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- src || echo ' with changes to src/'); korendezo: $kor"
echo "files:   at most $(ulimit -Sn) open (soft limit; hard $(ulimit -Hn))"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) at the start (other work on the machine slows wall times)"
if [ "$can_cold" = 0 ]; then
  echo "run.sh: cold runs skipped: dropping the page cache needs root" >&2
fi
echo

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The copies go in a directory marked as a top of hierarchy (chattr +T)
# and get a new name each, so that ext2/3/4 place each in block groups of
# its own. Otherwise a copy's new inodes (the directories and LF copies the
# run makes) land among those of the copy just removed, and a file system
# without a journal (this machine's) passes over every inode removed in
# the last 30 s each time it allocates one: a mkdir took 100-270 us of CPU
# instead of 11, once in some runs and not in others.
work=$data/work
rm -rf "$work"
mkdir "$work"
chattr +T "$work" 2>/dev/null || true
copies=0

# fresh PROG MASTER CACHE: wdir[PROG] becomes a new copy of MASTER, on disk
# before timing, and for a cold run no longer in the page cache.
declare -A wdir
fresh() {
  rm -rf "$work/$1".*
  copies=$((copies + 1))
  wdir[$1]=$work/$1.$copies
  cp -a "$2" "${wdir[$1]}"
  sync
  if [ "$3" = cold ]; then
    echo 3 >/proc/sys/vm/drop_caches
  fi
}

# expect MASTER LIST: "FILES LEFT", the files a run leaves in the
# sub-directories (older ones included, less those replaced) and the .htm
# files it leaves in the folder.
expect() {
  local files left name mode dir
  files=$(find "$1" -mindepth 2 -type f | wc -l)
  left=0
  while IFS=$'\t' read -r name mode dir; do
    if [ "$mode" = - ]; then
      left=$((left + 1))
    elif [ ! -e "$1/$dir/$name" ]; then
      files=$((files + 1))
    fi
  done <"$2"
  echo "$files $left"
}

# check DIR WANT: DIR holds what expect said.
check() {
  local files left
  files=$(find "$1" -mindepth 2 -type f | wc -l)
  left=$(find "$1" -maxdepth 1 -type f -name '*.htm' | wc -l)
  if [ "$files $left" != "$2" ]; then
    echo "run.sh: $1: $files files in sub-directories and $left .htm left; want $2" >&2
    exit 1
  fi
}

programs=(korendezo safe floor)

# args PROGRAM LIST: the command line of PROGRAM.
args() {
  case $1 in
    korendezo) cmd=("$kor") ;;
    safe) cmd=("$floor" --safe "$2") ;;
    floor) cmd=("$floor" "$2") ;;
  esac
}

# timed PROGRAM DIR LIST: one measured run; prints "seconds maxrss_kb
# cpu_seconds".
timed() {
  local out cmd
  args "$1" "$3"
  out=$("$measure" "$2" "$data/$1.out" "${cmd[@]}")
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
    local cmd
    args "$1" "$3"
    "$measure" "$2" "$data/$1.out" /usr/bin/time -v -o "$data/time.txt" "${cmd[@]}" >/dev/null
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$data/time.txt"
  else
    timed "$@" | cut -d' ' -f2
  fi
}

# syscalls ID MASTER LIST WANT REPORTS: strace -c -f of one warm run of
# each program, the calls (and failed calls) per report, into
# $results/syscalls-ID.txt. Every call of the process and its threads is
# counted, the start-up's too, and divided by the reports; calls made less
# than once per 100 reports by all three are left out.
syscalls() {
  local prog cmd
  for prog in "${programs[@]}"; do
    fresh "$prog" "$2" warm
    args "$prog" "$3"
    "$measure" "${wdir[$prog]}" /dev/null "$strace" -f -c -U calls,errors,name \
      -o "$results/strace-$prog.txt" "${cmd[@]}" >/dev/null
    check "${wdir[$prog]}" "$4"
    rm -rf "${wdir[$prog]}"
  done
  {
    echo "$1: system calls per report ($5 reports), strace -c -f of one warm run"
    printf '  %-18s %16s %16s %16s\n' call korendezo "safe floor" "bare floor"
    awk -v n="$5" '
      FNR <= 2 || /^---/ { next }
      { calls = substr($0, 1, 9) + 0; errs = substr($0, 11, 9) + 0
        name = substr($0, 21); match(FILENAME, /strace-[a-z]+\.txt$/)
        prog = substr(FILENAME, RSTART + 7, RLENGTH - 11)
        c[prog, name] = calls; e[prog, name] = errs; seen[name] = 1 }
      function cell(p, s) {
        if (!((p, s) in c)) return "-"
        return sprintf("%.2f", c[p, s] / n) (e[p, s] ? sprintf(" (%.2f fail)", e[p, s] / n) : "")
      }
      END { for (s in seen) if (s != "total" && (c["korendezo", s] >= n / 100 ||
                                                c["safe", s] >= n / 100 || c["floor", s] >= n / 100))
              printf "%s\t%s\t%s\t%s\t%d\n", s, cell("korendezo", s), cell("safe", s),
                cell("floor", s), c["korendezo", s]
            printf "total\t%s\t%s\t%s\t%d\n", cell("korendezo", "total"), cell("safe", "total"),
              cell("floor", "total"), -1 }
    ' "$results/strace-korendezo.txt" "$results/strace-safe.txt" "$results/strace-floor.txt" |
      sort -t$'\t' -k5,5nr -k1,1 |
      awk -F'\t' '{ printf "  %-18s %16s %16s %16s\n", $1, $2, $3, $4 }'
    echo
  } >"$results/syscalls-$1.txt"
}

ratio() { echo "$1 $2" | awk '{ printf "%.3f", $1 / $2 }'; }
per_report() { echo "$1 $2" | awk '{ printf "%.1f", $1 / $2 * 1e6 }'; }
bound() { [ "$1" = - ] && echo - || echo "<=$1"; }

row='%-15s %-5s %5s  %8s %8s %8s  %6s %6s %6s  %6s %6s %6s  %7s %7s  %7s %7s %7s %6s  %6s %6s %6s  %5s\n'
# shellcheck disable=SC2059
printf "$row" case cache reps "k s" "safe s" "floor s" k/safe r/rnd bound \
  k/flr r/rnd target "us/r k" "us/r s" "cpu k" "cpu s" "cpu f" k/safe "RSS k" "RSS s" "RSS f" load
disk_kb=0
rm -f "$results"/syscalls-*.txt "$results"/strace-*.txt "$results/times.log"
for id in "${ids[@]}"; do
  describe "$id"
  master=$data/$id
  list=$master.list
  if [ ! -e "$master.done" ]; then
    rm -rf "$master" "$list"
    "$gen" "${gen_args[@]}" "$n" "$kind" "$master" "$list" >/dev/null
    sync
    touch "$master.done"
  fi
  want=$(expect "$master" "$list")
  reports=$(awk -F'\t' '$2 != "-"' "$list" | wc -l)
  # An untimed first run of each, for the RSS and to compare their trees:
  # each floor must do the same moves as korendezo.
  declare -A rssk=()
  for prog in "${programs[@]}"; do
    fresh "$prog" "$master" warm
    rssk[$prog]=$(rss "$prog" "${wdir[$prog]}" "$list")
    check "${wdir[$prog]}" "$want"
    if [ "$prog" != korendezo ]; then
      if ! diff -rq "${wdir[korendezo]}" "${wdir[$prog]}" >/dev/null; then
        echo "run.sh: korendezo and the $prog floor left different trees for $id" >&2
        exit 1
      fi
      used=$(du -sk "$data" | cut -f1)
      ((used > disk_kb)) && disk_kb=$used
      rm -rf "${wdir[$prog]}"
    fi
  done
  rm -rf "${wdir[korendezo]}"
  if [ "${SYSCALLS:-0}" = 1 ]; then
    syscalls "$id" "$master" "$list" "$want" "$reports"
  fi
  if [ "$timed" = 0 ]; then
    # shellcheck disable=SC2059
    printf "$row" "$id" - "$reports" - - - - - "<=8MB" - - - - - - - - - \
      "${rssk[korendezo]}" "${rssk[safe]}" "${rssk[floor]}" "$(cut -d' ' -f1 /proc/loadavg)"
  fi
  caches=${CACHES:-$def_caches}
  for cache in $caches; do
    [ "$timed" = 1 ] || break
    if [ "$cache" = cold ] && [ "$can_cold" = 0 ]; then
      continue
    fi
    rm -f "$results"/times-*
    for ((i = 0; i < runs; i++)); do
      # Each round starts with the next program.
      for ((j = 0; j < ${#programs[@]}; j++)); do
        prog=${programs[(i + j) % ${#programs[@]}]}
        fresh "$prog" "$master" "$cache"
        timed "$prog" "${wdir[$prog]}" "$list" | tee -a "$results/times-$prog" |
          sed "s/^/$id $cache $prog /" >>"$results/times.log"
        check "${wdir[$prog]}" "$want"
        rm -rf "${wdir[$prog]}"
      done
    done
    declare -A wall=() cpu=()
    for prog in "${programs[@]}"; do
      wall[$prog]=$(cut -d' ' -f1 "$results/times-$prog" | median | xargs printf %.4f)
      cpu[$prog]=$(cut -d' ' -f3 "$results/times-$prog" | median | xargs printf %.4f)
    done
    by_round() {
      paste -d' ' "$results/times-korendezo" "$results/times-$1" |
        awk '{ printf "%.3f\n", $1 / $4 }' | median
    }
    safe_bound=-
    [ "$cache" = warm ] && safe_bound=$tgt_safe
    target=$tgt_warm
    [ "$cache" = cold ] && target=$tgt_cold
    # shellcheck disable=SC2059
    printf "$row" "$id" "$cache" "$reports" \
      "${wall[korendezo]}" "${wall[safe]}" "${wall[floor]}" \
      "$(ratio "${wall[korendezo]}" "${wall[safe]}")" "$(by_round safe)" "$(bound "$safe_bound")" \
      "$(ratio "${wall[korendezo]}" "${wall[floor]}")" "$(by_round floor)" "$(bound "$target")" \
      "$(per_report "${wall[korendezo]}" "$reports")" "$(per_report "${wall[safe]}" "$reports")" \
      "${cpu[korendezo]}" "${cpu[safe]}" "${cpu[floor]}" "$(ratio "${cpu[korendezo]}" "${cpu[safe]}")" \
      "${rssk[korendezo]}" "${rssk[safe]}" "${rssk[floor]}" "$(cut -d' ' -f1 /proc/loadavg)"
  done
  rm -rf "${work:?}"/*
  [ "${KEEP:-}" = 1 ] || rm -rf "$master" "$list" "$master.done"
done

echo
echo "medians of $runs runs, wall and user+sys CPU time in seconds (k: korendezo, safe: the safe floor,"
echo "floor: the bare floor), the ratios of the medians and the median of the rounds' ratios (r/rnd),"
echo "the bound of korendezo/safe floor and the target of korendezo/bare floor, wall time per report"
echo "in microseconds, the ratio of the CPU times korendezo/safe floor (other load disturbs it least),"
echo "peak RSS in KB of one warm run; load: 1-minute load average after the case;"
echo "every run's figures (case cache program seconds RSS_KB cpu_seconds) in $results/times.log"
if [ "${SYSCALLS:-0}" = 1 ]; then
  echo
  cat "$results"/syscalls-*.txt
fi
echo "disk:    at most $((disk_kb / 1024)) MB under $data$([ "$loop" = 1 ] && echo ", the image $(($(du -k "$image" | cut -f1) / 1024)) MB")"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) at the end; $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
if [ "$hot" = 1 ] && [ -x "$build/bench/hot_paths" ]; then
  echo
  echo "hot_paths, $build_type build:"
  # Interleaved repetitions share out the disturbance of other load.
  "$build/bench/hot_paths" --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.2 2>&1
fi
