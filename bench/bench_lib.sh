# Shared by the benchmark scripts (sourced, not run).
#
# compare_pairs LABEL TARGET PAIRS NAME_A NAME_B
#   Runs the shell functions setup_a, run_a, setup_b, run_b (defined by the
#   caller) in alternating pairs: A B, then B A, and so on, so that neither
#   side always runs second. Only run_a and run_b are timed. Prints one line
#   with the ratio of the medians (A / B), both medians and the target, and
#   the raw times on the line after, with the load average before the first
#   run: other work on the machine skews a comparison of a program using both
#   cores with one using one. Returns 1 when a run fails.
# median: the median of the numbers on standard input.
# bench_args DEFAULT_PAIRS "$@": reads BUILD_DIR CORPUS_DIR [PAIRS] [WORK_DIR]
#   into BUILD, CORPUS, PAIRS and WORK (default CORPUS_DIR/bench-run, made
#   here), or stops with the usage line.
# die MESSAGE: the message, after the script's name, and exit status 1.

die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

bench_args() {
  local default_pairs=$1
  shift
  [[ $# -ge 2 ]] || die "usage: bench/$(basename "$0") BUILD_DIR CORPUS_DIR [PAIRS] [WORK_DIR]"
  BUILD=$(cd "$1" && pwd)
  CORPUS=$(cd "$2" && pwd)
  PAIRS=${3:-$default_pairs}
  WORK=${4:-$CORPUS/bench-run}
  mkdir -p "$WORK"
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# time_run VAR FUNCTION: runs FUNCTION, stores its wall time in seconds in VAR.
time_run() {
  local start end
  start=$(date +%s%N)
  "$2" || { echo "bench: $2 failed" >&2; return 1; }
  end=$(date +%s%N)
  printf -v "$1" '%s' "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", (e - s) / 1e9 }')"
}

compare_pairs() {
  local label=$1 target=$2 pairs=$3 name_a=$4 name_b=$5
  local times_a=() times_b=() t i side load_before
  load_before=$(cut -d' ' -f1 /proc/loadavg)
  for ((i = 0; i < pairs; i++)); do
    for side in $( ((i % 2 == 0)) && echo "a b" || echo "b a"); do
      "setup_$side" || { echo "bench: setup_$side failed" >&2; return 1; }
      time_run t "run_$side" || return 1
      if [[ $side == a ]]; then times_a+=("$t"); else times_b+=("$t"); fi
    done
  done
  local med_a med_b
  med_a=$(printf '%s\n' "${times_a[@]}" | median)
  med_b=$(printf '%s\n' "${times_b[@]}" | median)
  awk -v l="$label" -v a="$med_a" -v b="$med_b" -v na="$name_a" -v nb="$name_b" -v t="$target" \
    -v n="$pairs" 'BEGIN { printf "%-34s ratio %5.3f (target %s)  %s %.3f s  %s %.3f s  (%d pairs, medians)\n", l, a / b, t, na, a, nb, b, n }'
  echo "    $name_a: ${times_a[*]}   $name_b: ${times_b[*]}   (load average before: $load_before)"
}

# peak_rss_mib FILE: the maximum resident set size in MiB from the output of
# /usr/bin/time -v in FILE.
peak_rss_mib() {
  awk -F: '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$1"
}
