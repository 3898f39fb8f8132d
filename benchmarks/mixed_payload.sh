# Sourced by the benchmarks: make_mixed_payload FILE SIZE_MIB writes SIZE_MIB MiB of mixed
# content, 8 MiB of noise (a cipher's key stream, like media and archives) then 8 MiB of text
# (headers and documentation, like a package's tables and scripts), over and over.
make_mixed_payload() {
  local file="$1" sizeMib="$2" mib=$((1 << 20)) block
  # (head ends the producers early: their SIGPIPE is expected.)
  set +o pipefail
  find /usr/include /usr/share/doc -type f -size -1000k | sort | xargs cat 2>/dev/null >"$file.pass" || :
  while cat "$file.pass"; do :; done | head -c $((sizeMib / 2 * mib)) >"$file.text"
  rm "$file.pass"
  openssl enc -aes-128-ctr -nosalt -pass pass:bench -pbkdf2 </dev/zero 2>/dev/null |
    head -c $((sizeMib / 2 * mib)) >"$file.noise"
  set -o pipefail
  for ((block = 0; block < sizeMib / 16; block++)); do
    dd if="$file.noise" bs=8M skip="$block" count=1 status=none
    dd if="$file.text" bs=8M skip="$block" count=1 status=none
  done >"$file"
  rm "$file.text" "$file.noise"
  touch -d '2020-01-01 00:00:00 UTC' "$file"
}

# make_mixed_product SIZE_MIB PRODUCT_CODE: in the current folder, payload.bin (SIZE_MIB MiB of
# the mix) and the example product that installs it, product.msi with its cabinet big.cab.
# Needs $root.
make_mixed_product() {
  echo "[bench] making a $1 MiB product in $PWD"
  make_mixed_payload payload.bin "$1"
  EXAMPLE_PRODUCT_CODE="$2" EXAMPLE_PAYLOAD="$PWD/payload.bin" EXAMPLE_CABINET=big.cab \
    bash "$root/examples/build-example.sh" "$PWD" product >/dev/null
  ls -l product.msi big.cab
}

# enter_wine_bench WORK PREFIX: an empty WORK as the current folder, and the Wine prefix helpers
# of the installer tests (start_e2e_prefix, $e2e_wine); when the script exits, the prefix's Wine
# is stopped and both folders are removed. Needs bench_setup.sh.
enter_wine_bench() {
  benchWork="$1" benchPrefix="$2"
  # shellcheck source=tests/installer_e2e/e2e-prefix.sh
  source "$root/tests/installer_e2e/e2e-prefix.sh"
  trap 'stop_e2e_prefix || true; rm -rf "$benchWork" "$benchPrefix"' EXIT
  enter_work_folder "$benchWork"
  echo "[bench] load: $(uptime)"
}

# compare_installed_and_remove CODE: sets same to whether the installed file is payload.bin, byte
# for byte, then uninstalls the product CODE from the prefix.
compare_installed_and_remove() {
  local installed="$WINEPREFIX/drive_c/Program Files/Launcher Example/hello.txt"
  same="NOT identical"
  cmp -s "$installed" payload.bin && same="byte-identical"
  echo "installed file: $same ($(stat -c %s "$installed" 2>/dev/null || echo missing) bytes)"
  "$e2e_wine" msiexec /x "$1" /qn </dev/null || true
  echo "[bench] load: $(uptime)"
}
