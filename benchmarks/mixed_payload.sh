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
