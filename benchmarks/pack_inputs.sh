# The packing benchmarks' inputs, made in the current folder. Sourced by the benchmark scripts,
# which set $root and $pack.
#   make_package: product.msi (64 MiB, a large stream added) and its stored cabinet bench.cab (64 MiB)
#   make_stub PUB.pem: stub.exe, a stand-in launcher carrying that public key
# The content is a mix: machine code and text (as in a package's tables and binaries), and
# pseudo-random bytes standing in for what is already compressed (media, archives).

mib=$((1 << 20))
# n MiB of the mix: a third shared libraries, a third headers and documentation, a third noise.
# (head ends the producers early: their SIGPIPE is expected.)
mix() (
  set +o pipefail
  local size=$(($1 * mib)) seed="$2" third=$(($1 * mib / 3))
  {
    find /usr/lib/x86_64-linux-gnu -maxdepth 1 -name '*.so*' -type f | sort | tail -n "+$seed" | xargs cat | head -c "$third"
    find /usr/include /usr/share/doc -type f | sort | tail -n "+$seed" | xargs cat 2>/dev/null | head -c "$third"
    openssl enc -aes-128-ctr -nosalt -pass "pass:$seed" -pbkdf2 </dev/zero 2>/dev/null | head -c "$third"
  } | head -c "$size"
)

make_package() {
  # The package: the example product installing the mix, stored in its cabinet, with a large
  # stream added, as packages carry binaries.
  mix 64 7 >payload.bin
  truncate -s "$((64 * mib - 32 * 1024))" payload.bin
  EXAMPLE_PAYLOAD="$PWD/payload.bin" EXAMPLE_CABINET=bench.cab bash "$root/examples/build-example.sh" "$PWD" product >/dev/null
  mix 64 1 >stream.bin
  truncate -s "$((64 * mib - 64 * 1024))" stream.bin
  msibuild product.msi -a Bench stream.bin
  rm stream.bin payload.bin
  ls -l product.msi bench.cab
}

make_stub() {
  openssl rsa -pubin -in "$1" -outform MSBLOB -out key.blob 2>/dev/null
  # The key in its slot, behind the slot's marker (payload/payload_format.h), as the launcher keeps it.
  {
    printf 'static const unsigned char payloadKeySlot[] = {'
    printf 'Payload key slot' | od -An -v -tu1 | tr -s ' \n' ',' | sed 's/^,//'
    printf '0x4c,0xda,0x46,0x63,0x39,0x21,0x70,0x4b,0x0b,0x64,0xb8,0x9f,0xd5,0x49,0xef,0xd9,'
    od -An -v -tu1 key.blob | tr -s ' \n' ',' | sed 's/^,//'
    printf '};\nconst unsigned char *volatile keyInUse;\nvoid Start(void) { keyInUse = payloadKeySlot; }\n'
  } >stub.c
  x86_64-w64-mingw32-gcc-posix -Os -s -nostdlib -Wl,-e,Start -o stub.exe stub.c
}
