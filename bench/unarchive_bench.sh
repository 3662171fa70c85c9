#!/bin/sh
# Extraction of a signed archive of the installed OpenJDK 17 folder (xz preset 6)
# through the decode-and-extract pipeline, side by side with "xz -dc" of the same
# compressed bytes to /dev/null and "xz -dc | tar x" of a tar of the same content
# (also xz preset 6); then the same archive in blocks, as "xz -T0 -6" writes it, whose
# blocks the pipeline decodes on several threads, against single-threaded "xz -T1 -dc"
# of it; then the peak resident memory of extracting 100 MB and 1 GB payloads, in one
# block and in many. Usage: bench/unarchive_bench.sh [BUILD_DIR] [ROUNDS]
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
ratio() { echo "scale=2; $1 / $2" | bc; }
# The figures a bench run printed: "seconds=S maxrss_kb=K".
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" "$2"; }
# Runs a command with its output thrown away; appends its seconds to $1 and its own peak
# resident memory (kB) to $2.
timed() {
  seconds=$1 memory=$2
  shift 2
  start=$(now)
  /usr/bin/time -f %M -o "$work/time" "$@" > /dev/null
  elapsed "$start" "$(now)" >> "$seconds"
  cat "$work/time" >> "$memory"
}

echo "machine: $(nproc) cores; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
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
  field seconds "$work/figures" >> "$work/pipeline"

  rm -rf "$work/out" && mkdir "$work/out"
  "$bench" extract-outer "$work/outer.arc" "$work/out" 2> "$work/figures"
  field seconds "$work/figures" >> "$work/nested"

  start=$(now); xz -dc "$work/jdk.xz" > /dev/null; elapsed "$start" "$(now)" >> "$work/xz"

  rm -rf "$work/out" && mkdir "$work/out"
  start=$(now); xz -dc "$work/jdk.tar.xz" | tar -C "$work/out" -xf -; elapsed "$start" "$(now)" >> "$work/tar"
done
rm -rf "$work/out"

pipeline=$(median < "$work/pipeline"); nested=$(median < "$work/nested")
xz=$(median < "$work/xz"); tar=$(median < "$work/tar")
echo "median of $rounds rounds (seconds):"
echo "  Streamer_startUnLzmaUnarchive      $pipeline  ($(ratio "$pipeline" "$xz") x xz -dc)"
echo "  nested in a signed outer archive   $nested  ($(ratio "$nested" "$xz") x xz -dc)"
echo "  xz -dc > /dev/null                 $xz"
echo "  xz -dc | tar x                     $tar"

echo "Packing $jdk in blocks ..."
"$bench" pack-blocks "$jdk" "$work/blocks.xz"
blocks=$(xz --robot -l "$work/blocks.xz" | awk -F'\t' '$1 == "totals" { print $3 }')
echo "compressed archive in blocks: $(stat -c %s "$work/blocks.xz") bytes, $blocks blocks"
for name in pipeline pipeline.kb xz1 xz1.kb xz4 xz4.kb; do : > "$work/$name"; done
for round in $(seq "$rounds"); do
  rm -rf "$work/out" && mkdir "$work/out"
  "$bench" extract "$work/blocks.xz" "$work/out" 2> "$work/figures"
  field seconds "$work/figures" >> "$work/pipeline"
  field maxrss_kb "$work/figures" >> "$work/pipeline.kb"
  rm -rf "$work/out"
  timed "$work/xz1" "$work/xz1.kb" xz -T1 -dc "$work/blocks.xz"
  timed "$work/xz4" "$work/xz4.kb" xz -T4 --memlimit-mt-decompress=128MiB -dc "$work/blocks.xz"
done
pipeline=$(median < "$work/pipeline"); xz1=$(median < "$work/xz1"); xz4=$(median < "$work/xz4")
echo "median of $rounds rounds (seconds; peak resident memory of the run with the most):"
echo "  Streamer_startUnLzmaUnarchive      $pipeline  ($(ratio "$pipeline" "$xz1") x xz -T1 -dc)  $(sort -n "$work/pipeline.kb" | tail -1) kB"
echo "  xz -T1 -dc > /dev/null             $xz1  $(sort -n "$work/xz1.kb" | tail -1) kB"
echo "  xz -T4 --memlimit-mt-decompress=128MiB -dc > /dev/null"
echo "                                     $xz4  ($(ratio "$xz4" "$xz1") x xz -T1 -dc)  $(sort -n "$work/xz4.kb" | tail -1) kB"

for size in 104857600 1073741824; do
  for mode in payload payload-blocks; do
    "$bench" "$mode" "$size" "$work/payload.xz"
    mkdir "$work/out"
    "$bench" extract "$work/payload.xz" "$work/out" 2> "$work/figures"
    echo "$mode of $size bytes: $(cat "$work/figures")"
    rm -rf "$work/out" "$work/payload.xz"
  done
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
