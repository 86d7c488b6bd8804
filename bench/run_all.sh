#!/usr/bin/env bash
# Runs every benchmark from one checkout: installs the peers (samtools, featureCounts,
# gffread) and numpy, installs the package into .venv, makes the synthetic data sets into
# bench/out (once; delete a set to remake it), prints each benchmark's own report and, at the
# end, one table of every analysis against its floor and peer gathered from their ROW lines.
set -euo pipefail
cd "$(dirname "$0")/.."
VOSKEL_BENCH=1 bash scripts/bootstrap.sh
.venv/bin/python -m pip install -q .
py=.venv/bin/python
[ -f bench/out/sample.bam.bai ] || $py bench/gen_quant_data.py
log=bench/out/run_all.log
: >"$log"

# analysis and its benchmark script; a script this checkout lacks is named in the table.
benches=(
  "classify_gtfs bench/classify_bench.py"
  "quantify_gtf bench/quantify_bench.py"
  "leak_scan bench/leak_bench.py"
  "structure_scan bench/structure_bench.py"
  "extend_terminals bench/terminal_bench.py"
  "scan_orfs bench/orf_bench.py"
  "preflight_bams bench/preflight_bench.py"
  "cohort bench/cohort_bench.py"
)
names=()
for entry in "${benches[@]}"; do
  read -r name script <<<"$entry"
  [ "$name" = cohort ] || names+=("$name")
  [ -f "$script" ] || continue
  echo "== $name" | tee -a "$log"
  $py "$script" 2>&1 | tee -a "$log" || echo "$name benchmark failed" | tee -a "$log"
done

echo
echo "== every analysis against its floor and peer (ratios: ours / theirs)"
$py bench/table.py "$log" --expect "${names[@]}"
