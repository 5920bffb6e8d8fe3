#!/usr/bin/env bash
# pe-digest.sh FILE: the digest of a PE32+ image as the service computes it, with coreutils and the
# openssl command, for builds that have no winsim-pe: SHA-256 over the whole file except the image
# checksum (4 bytes at N+88), the certificate table's directory entry (8 bytes at N+168) and the
# certificate table itself, where N is the NT headers' offset (the 32-bit value at 60). Prints 64
# upper-case hexadecimal digits.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: pe-digest.sh FILE" >&2; exit 2; }
file=$1
size=$(stat -c %s "$file")
u32() { od -An -tu4 -j "$1" -N4 "$file" | tr -d ' \n'; }
[ "$size" -ge 64 ] || { echo "pe-digest.sh: $file is no PE image" >&2; exit 1; }
nt=$(u32 60)
[ $((nt + 264)) -le "$size" ] || { echo "pe-digest.sh: $file has no whole NT headers" >&2; exit 1; }
table=$(u32 $((nt + 168)))
tableSize=$(u32 $((nt + 172)))
end=$size
if [ "$tableSize" -gt 0 ]; then
  [ "$table" -ge $((nt + 264)) ] && [ $((table + tableSize)) -le "$size" ] ||
    { echo "pe-digest.sh: $file has a certificate table outside the file" >&2; exit 1; }
  end=$table
fi
# part START COUNT: COUNT bytes of the file from offset START (to the end without COUNT).
part() {
  if [ $# -eq 2 ]; then
    dd if="$file" iflag=skip_bytes,count_bytes skip="$1" count="$2" bs=65536 status=none
  else
    dd if="$file" iflag=skip_bytes skip="$1" bs=65536 status=none
  fi
}
{
  part 0 $((nt + 88))
  part $((nt + 92)) 76
  part $((nt + 176)) $((end - nt - 176))
  if [ "$tableSize" -gt 0 ]; then part $((table + tableSize)); fi
} | openssl dgst -sha256 -r | cut -c1-64 | tr 'a-f' 'A-F'
