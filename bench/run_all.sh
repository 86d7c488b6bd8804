#!/usr/bin/env bash
# Runs every benchmark from one checkout: installs the peers (samtools, featureCounts,
# gffread) and numpy, installs the package into .venv, makes the synthetic data sets into
# bench/out (once; delete a set to remake it) and prints each benchmark's ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
VOSKEL_BENCH=1 bash scripts/bootstrap.sh
.venv/bin/python -m pip install -q .
py=.venv/bin/python
echo "== classify_gtfs"
$py bench/classify_bench.py
echo "== quantify_gtf"
[ -f bench/out/sample.bam.bai ] || $py bench/gen_quant_data.py
$py bench/quantify_bench.py
echo "== leak_scan"
$py bench/leak_bench.py
echo "== scan_orfs"
$py bench/orf_bench.py
echo "== preflight_bams"
$py bench/preflight_bench.py
echo "== structure_scan"
$py bench/structure_bench.py
echo "== extend_terminals"
$py bench/terminal_bench.py
