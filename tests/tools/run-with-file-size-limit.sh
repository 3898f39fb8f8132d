#!/usr/bin/env bash
# run-with-file-size-limit.sh KIB PROGRAM [ARGS...]: runs a Windows test program under Wine
# with the size of every file it writes limited to KIB KiB, so that a write crossing the limit
# really reaches the file only in part. The program learns the limit in bytes from
# LAUNCHER_TEST_FILE_SIZE_LIMIT.
set -euo pipefail
kib="$1"
shift
trap '' XFSZ # a write past the limit then fails with EFBIG instead of killing the process
ulimit -f "$kib"
export LAUNCHER_TEST_FILE_SIZE_LIMIT=$((kib * 1024))
exec "$(dirname "$0")/../../scripts/wine-run.sh" "$@"
