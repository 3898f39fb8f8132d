#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer and
# UBSan), replays each target's inputs and fuzzes it for its time box (the table below; SECONDS
# for every target when given), as many targets at a time as there are cores. A target's inputs:
# its corpus kept in the tree (fuzz/corpus/<target>: seeds and what runs found, minimised), its
# seeds made at build time (the launcher's readers from the payload writer, the packer's from its
# own outputs), the inputs that once found a fault (fuzz/regressions/<target>) and what earlier
# runs found (build/fuzz/runs/corpus, where new inputs land).
# fuzz.sh merge: minimises each target's corpus in the tree with what the runs found since.
# FUZZ_TARGETS="a b" chooses the targets; FUZZ_JOBS how many run at a time.
# Exits non-zero when any target reports a crash, a leak, a sanitizer finding, a time-out or
# running out of memory; the input that did it lands in build/fuzz/runs/findings/<target>.
set -euo pipefail
seconds="${1:-}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# Each target's time box in seconds: the packer's readers of a whole file do more for each input.
declare -A box=(
  [read_path]=15 [payload_item]=15 [inflate]=15 [directory]=15 [command_line]=15
  [pe_image]=15 [authenticode]=25 [verify_payload]=25 [verify_file]=30 [cabinet_file_list]=15
)
all_targets="read_path payload_item inflate directory command_line pe_image authenticode verify_payload verify_file"
all_targets+=" cabinet_file_list"
read -r -a targets <<<"${FUZZ_TARGETS:-$all_targets}"
for target in "${targets[@]}"; do
  [ -n "${box[$target]:-}" ] || { echo "fuzz.sh: no target $target" >&2; exit 2; }
done
if [ -n "$seconds" ] && [ "$seconds" != merge ] && ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: fuzz.sh [SECONDS | merge]" >&2
  exit 2
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target fuzz_targets

build="$root/build/fuzz/fuzz"
runs="$root/build/fuzz/runs"
# Each target runs on one core: as many at a time as there are cores (FUZZ_JOBS to choose).
parallel="${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}"

seeds_of() {
  if [ -d "$build/seeds/$1" ]; then echo "$build/seeds/$1"; else echo "$build/packer-seeds/$1"; fi
}

if [ "$seconds" = merge ]; then
  for target in "${targets[@]}"; do
    kept="fuzz/corpus/$target" merged="$runs/merged/$target"
    rm -rf "$merged" && mkdir -p "$merged" "$kept" "$runs/corpus/$target"
    "$build/fuzz_$target" -merge=1 -timeout=10 "$merged" "$kept" "$(seeds_of "$target")" "$runs/corpus/$target" \
      >"$runs/$target.merge.log" 2>&1
    rm -rf "$kept" && mv "$merged" "$kept"
    printf '[fuzz] %-14s %5d inputs, %6d KiB kept in %s\n' "$target" "$(find "$kept" -type f | wc -l)" \
      "$(du -sk "$kept" | cut -f1)" "$kept"
  done
  exit 0
fi

# run_target TARGET: one fuzzing run; its summary line goes to runs/TARGET.result, its exit
# status is 0 for no finding.
run_target() {
  local target="$1"
  local corpus="$runs/corpus/$target" findings="$runs/findings/$target" log="$runs/$target.log"
  mkdir -p "$corpus" "$findings"
  local inputs=("$corpus" "$(seeds_of "$target")")
  local dir
  for dir in "fuzz/corpus/$target" "fuzz/regressions/$target"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  local result=0
  "$build/fuzz_$target" -max_total_time="${seconds:-${box[$target]}}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${inputs[@]}" >"$log" 2>&1 || result=$?
  local executions edges
  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  edges="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)"
  if [ "$result" -eq 0 ]; then
    printf '[fuzz] %-14s %10s executions in %5s s, %5s edges, no finding\n' "$target" "${executions:-?}" \
      "${seconds:-${box[$target]}}" "${edges:-?}" >"$runs/$target.result"
  else
    {
      printf '[fuzz] %-14s FINDING (exit %d); log %s, input in %s\n' "$target" "$result" "$log" "$findings"
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
