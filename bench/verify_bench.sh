#!/usr/bin/env bash
# Signature verification against sha512sum: `qex verify` (the same library
# call the updater makes before a run) on the complete update of the corpus,
# signed with a fresh Ed25519 key, against `sha512sum` of the same file. Both
# read the file from the page cache; the ratio is that of the medians.
#
# Usage: bench/verify_bench.sh BUILD_DIR CORPUS_DIR [PAIRS] [WORK_DIR]
#   BUILD_DIR   a build tree with tools/qex (and updater, tools/make-update
#               when the updates are still to be built)
#   CORPUS_DIR  made by corpus.sh (the full update is built by make_updates.sh
#               when missing)
#   PAIRS       alternating pairs (default 11)
#   WORK_DIR    scratch space (default CORPUS_DIR/bench-run)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/bench_lib.sh
source "$HERE/bench_lib.sh"
bench_args 11 "$@"
QEX=$BUILD/tools/qex
[[ -x $QEX ]] || die "build $QEX first"
FULL=$CORPUS/updates/full/update.qex
[[ -f $FULL ]] || "$HERE/make_updates.sh" "$BUILD" "$CORPUS" >/dev/null

openssl genpkey -algorithm ed25519 -out "$WORK/bench-key.pem"
openssl pkey -in "$WORK/bench-key.pem" -pubout -out "$WORK/bench-key.pub"
cp "$FULL" "$WORK/signed.qex"
"$QEX" sign "$WORK/signed.qex" "$WORK/bench-key.pem"
echo "$(stat -c %s "$WORK/signed.qex") bytes, signed"

setup_a() { cat "$WORK/signed.qex" >/dev/null; }
run_a() { "$QEX" verify "$WORK/signed.qex" "$WORK/bench-key.pub" >/dev/null; }
setup_b() { setup_a; }
run_b() { sha512sum "$WORK/signed.qex" >/dev/null; }

compare_pairs "verify / sha512sum" "<= 1.1" "$PAIRS" "qex-verify" sha512sum
rm -f "$WORK/signed.qex" "$WORK/bench-key.pem" "$WORK/bench-key.pub"
