#!/usr/bin/env bash
# fuzz.sh SECONDS: builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer and
# UBSan) and runs each for SECONDS, as many at a time as there are cores, from its seed corpus
# (made at build time: the launcher's readers from the payload writer, the packer's from its
# own outputs), the inputs kept in fuzz/regressions/<target> and what earlier runs found
# (build/fuzz/runs/corpus).
# Exits non-zero when any target reports a crash, a leak, a sanitizer finding, a time-out or
# running out of memory; the input that did it lands in build/fuzz/runs/findings/<target>.
set -euo pipefail
seconds="${1:?usage: fuzz.sh SECONDS}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target fuzz_targets

build="$root/build/fuzz/fuzz"
runs="$root/build/fuzz/runs"
# Each target runs on one core: as many at a time as there are cores (FUZZ_JOBS to choose).
parallel="${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}"
targets=(read_path payload_item inflate directory command_line pe_image authenticode verify_payload
  cabinet_file_list)

# run_target TARGET: one fuzzing run; its summary line goes to runs/TARGET.result, its exit
# status is 0 for no finding.
run_target() {
  local target="$1"
  local corpus="$runs/corpus/$target" findings="$runs/findings/$target" log="$runs/$target.log"
  mkdir -p "$corpus" "$findings"
  local seeds="$build/seeds/$target"
  [ -d "$seeds" ] || seeds="$build/packer-seeds/$target"
  local inputs=("$corpus" "$seeds")
  [ -d "fuzz/regressions/$target" ] && inputs+=("fuzz/regressions/$target")
  local result=0
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${inputs[@]}" >"$log" 2>&1 || result=$?
  local executions edges
  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  edges="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)"
  if [ "$result" -eq 0 ]; then
    printf '[fuzz] %-12s %10s executions, %5s edges, no finding\n' "$target" "${executions:-?}" "${edges:-?}" \
      >"$runs/$target.result"
  else
    {
      printf '[fuzz] %-12s FINDING (exit %d); log %s, input in %s\n' "$target" "$result" "$log" "$findings"
      grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | head -n 5 || true
    } >"$runs/$target.result"
  fi
  return "$result"
}

mkdir -p "$runs"
status=0
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$parallel" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
for target in "${targets[@]}"; do
  cat "$runs/$target.result"
done
exit "$status"
