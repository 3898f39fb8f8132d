#!/usr/bin/env bash
# run-in-prefix.sh MODE PREFIX STANDIN TEST_PROGRAM
# Runs an end-to-end test program in its own Wine prefix (see e2e-prefix.sh), with the DLL
# overrides of E2E_DLL_OVERRIDES added when it is set. In MODE "standin"
# the tests named *UnderFileSizeLimit* and *UnderFullDisk* run a second time, under a 16 MiB file
# size limit (a write past it fails as on a full disk).
set -euo pipefail
mode="$1" prefix="$2" standin="$3" program="$4"
# shellcheck source=tests/installer_e2e/e2e-prefix.sh
source "$(dirname "$0")/e2e-prefix.sh"
trap stop_e2e_prefix EXIT
trap 'exit 143' TERM INT
start_e2e_prefix "$mode" "$prefix" "$standin"
# Wine takes a process's DLL load order from the environment it was started with, so a test that
# needs more overrides names them here (E2E_DLL_OVERRIDES) rather than in its own environment.
if [ -n "${E2E_DLL_OVERRIDES:-}" ]; then
  export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$E2E_DLL_OVERRIDES"
fi

cd "$(dirname "$program")"
status=0
if [ "$mode" = standin ]; then
  "$e2e_wine" "$program" --gtest_filter='-*UnderFileSizeLimit*:*UnderFullDisk*' </dev/null || status=$?
  # A full disk is made with the file size limit, not a small tmpfs on the Installer folder: Wine
  # has no NT device name for a mount inside a drive, so the launcher's final-path check of its
  # pinned folder fails there (error 2) before anything is written.
  limited='*UnderFileSizeLimit*:*UnderFullDisk*'
  (
    trap '' XFSZ # a write past the limit fails with EFBIG instead of ending the process
    ulimit -f 16384
    export LAUNCHER_TEST_FILE_SIZE_LIMIT=$((16384 * 1024))
    "$e2e_wine" "$program" --gtest_filter="$limited" </dev/null
  ) || status=$?
else
  "$e2e_wine" "$program" </dev/null || status=$?
fi
exit "$status"
