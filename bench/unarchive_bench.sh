#!/bin/sh
# Extraction of a signed archive of the installed OpenJDK 17 folder (xz preset 6)
# through the decode-and-extract pipeline, side by side with "xz -dc" of the same
# compressed bytes to /dev/null and "xz -dc | tar x" of a tar of the same content
# (also xz preset 6); then the peak resident memory of extracting 100 MB and 1 GB
# payloads. Usage: bench/unarchive_bench.sh [BUILD_DIR] [ROUNDS]
set -eu
build=${1:-build}
rounds=${2:-3}
bench="$build/bin/unarchive_bench"
jdk=/usr/lib/jvm/java-17-openjdk-amd64
work=$(mktemp -d /tmp/hv-unarchive-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "Packing $jdk ..."
"$bench" pack "$jdk" "$work/jdk.xz"
# The same content for tar: links followed, broken ones left out (as the packer does).
mkdir "$work/stage"
cp -a "$jdk/." "$work/stage"
find "$work/stage" -xtype l -delete
tar -C "$work/stage" -chf - . | xz -6 > "$work/jdk.tar.xz"
rm -rf "$work/stage"
"$bench" outer "$work/jdk.xz" "$work/outer.arc"
content=$(xz -dc "$work/jdk.tar.xz" | wc -c)
echo "compressed archive: $(stat -c %s "$work/jdk.xz") bytes; tar of the content: $content bytes"

: > "$work/pipeline"; : > "$work/nested"; : > "$work/xz"; : > "$work/tar"
for round in $(seq "$rounds"); do
  rm -rf "$work/out" && mkdir "$work/out"
  "$bench" extract "$work/jdk.xz" "$work/out" 2> "$work/figures"
  sed -n 's/^seconds=\([0-9.]*\).*/\1/p' "$work/figures" >> "$work/pipeline"

  rm -rf "$work/out" && mkdir "$work/out"
  "$bench" extract-outer "$work/outer.arc" "$work/out" 2> "$work/figures"
  sed -n 's/^seconds=\([0-9.]*\).*/\1/p' "$work/figures" >> "$work/nested"

  start=$(now); xz -dc "$work/jdk.xz" > /dev/null; elapsed "$start" "$(now)" >> "$work/xz"

  rm -rf "$work/out" && mkdir "$work/out"
  start=$(now); xz -dc "$work/jdk.tar.xz" | tar -C "$work/out" -xf -; elapsed "$start" "$(now)" >> "$work/tar"
done
rm -rf "$work/out"

pipeline=$(median < "$work/pipeline"); nested=$(median < "$work/nested")
xz=$(median < "$work/xz"); tar=$(median < "$work/tar")
echo "median of $rounds rounds (seconds):"
echo "  Streamer_startUnLzmaUnarchive      $pipeline  ($(echo "scale=2; $pipeline / $xz" | bc) x xz -dc)"
echo "  nested in a signed outer archive   $nested  ($(echo "scale=2; $nested / $xz" | bc) x xz -dc)"
echo "  xz -dc > /dev/null                 $xz"
echo "  xz -dc | tar x                     $tar"

for size in 104857600 1073741824; do
  "$bench" payload "$size" "$work/payload.xz"
  mkdir "$work/out"
  "$bench" extract "$work/payload.xz" "$work/out" 2> "$work/figures"
  echo "payload of $size bytes: $(cat "$work/figures")"
  rm -rf "$work/out" "$work/payload.xz"
done
