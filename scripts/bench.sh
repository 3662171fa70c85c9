#!/usr/bin/env bash
# Builds the benchmarks when needed, runs them one after another on this machine and
# prints each figure next to the one it is judged against. Not part of the test command.
#   bash scripts/bench.sh [BUILD_DIR]
# Inputs that take minutes to make (the OpenJDK installer and its .tar.xz, the payload
# archives) are kept in BUILD_DIR/bench-cache between runs. Needs root (the launcher runs
# as a throwaway user, as in the tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${1:-build}
bin="$build/bin"
cache="$build/bench-cache"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target halvorin-launcher fake_unpack200 run_road_bench \
  extract_road_bench unarchive_bench hash_bench >/dev/null
mkdir -p "$cache"
out=$(mktemp -d /tmp/hv-bench-XXXXXX)
trap 'rm -rf "$out"' EXIT

echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

# Google Benchmark's figures as JSON; its console table goes to the log only.
gbench() {  # name binary args...
  local name=$1 binary=$2; shift 2
  echo "running $binary ..." >&2
  "$bin/$binary" --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@" \
    > "$out/$name.log" 2>&1 || { cat "$out/$name.log"; exit 1; }
}
# The run road takes milliseconds: the median of five repetitions stands against the load
# of a shared machine.
gbench run_road run_road_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
gbench first_run extract_road_bench
gbench hash hash_bench --benchmark_filter='Keccak256|Mixed' --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true

# Peak memory of the decode-and-extract pipeline for two payload sizes.
for size in 104857600 1073741824; do
  payload="$cache/payload-$size.xz"
  if [ ! -f "$payload" ]; then
    echo "packing a payload of $size bytes ..." >&2
    "$bin/unarchive_bench" payload "$size" "$payload.partial" >/dev/null
    mv "$payload.partial" "$payload"
  fi
  rm -rf "$out/extract" && mkdir "$out/extract"
  echo "extracting the payload of $size bytes ..." >&2
  "$bin/unarchive_bench" extract "$payload" "$out/extract" 2> "$out/payload-$size.txt"
  rm -rf "$out/extract"
done

# An archive of the installed OpenJDK in blocks, as "xz -T0 -6" writes it, whose blocks
# the pipeline decodes on several threads, against xz's own threaded decoder at the same
# memory limit and against single-threaded xz of the same bytes. The three run in turn in
# every round, so that a change in the machine's load falls on all of them; each figure
# is the median of five rounds, its memory the peak resident set of the run with the most.
# Only where the benchmark knows the mode.
usage=$("$bin/unarchive_bench" 2>&1 || true)
if [[ $usage == *pack-blocks* ]]; then
  blocks="$cache/jdk17-blocks.xz"
  if [ ! -f "$blocks" ]; then
    echo "packing the OpenJDK in blocks ..." >&2
    "$bin/unarchive_bench" pack-blocks /usr/lib/jvm/java-17-openjdk-amd64 "$blocks.partial" >/dev/null
    mv "$blocks.partial" "$blocks"
  fi
  echo "extracting the OpenJDK archive in blocks, against xz -T4 and xz -T1 ..." >&2
  # Wall time of the whole process and its peak resident memory (kB), appended to
  # $out/$name.seconds and $out/$name.kb.
  timed() {  # name command...
    local name=$1 start; shift
    start=$(date +%s%N)
    /usr/bin/time -f %M -o "$out/time" "$@" > /dev/null 2> "$out/$name.err" ||
      { cat "$out/$name.err"; exit 1; }
    echo "$(( $(date +%s%N) - start ))" | awk '{ print $1 / 1e9 }' >> "$out/$name.seconds"
    cat "$out/time" >> "$out/$name.kb"
  }
  for name in pipeline xz4 xz1; do : > "$out/$name.seconds"; : > "$out/$name.kb"; done
  for _ in 1 2 3 4 5; do
    rm -rf "$out/extract" && mkdir "$out/extract"
    timed pipeline "$bin/unarchive_bench" extract "$blocks" "$out/extract"
    rm -rf "$out/extract"
    timed xz4 xz -T4 --memlimit-mt-decompress=128MiB -dc "$blocks"
    timed xz1 xz -T1 -dc "$blocks"
  done
  median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  {
    for name in pipeline xz4 xz1; do
      echo "$name seconds=$(median < "$out/$name.seconds")" \
        "maxrss_kb=$(sort -n "$out/$name.kb" | tail -1)"
    done
    echo "blocks=$(xz --robot -l "$blocks" | awk -F'\t' '$1 == "totals" { print $3 }')" \
      "bytes=$(stat -c %s "$blocks")"
  } > "$out/blocks.txt"
fi

# The same Keccak-f[1600] permutation in hand-tuned code, over the same 1 MiB inputs,
# per CPU second as the digest figures are: the median of five one-second runs.
if command -v openssl > /dev/null; then
  echo "running openssl speed -evp sha3-256 ..." >&2
  for _ in 1 2 3 4 5; do
    openssl speed -seconds 1 -bytes 1048576 -evp sha3-256 2> /dev/null |
      awk '$1 == "sha3-256" { sub(/k$/, "", $2); print $2 / 1000 }'
  done | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }' > "$out/openssl-sha3"
fi

echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$out" <<'PY'
import json, re, sys
out = sys.argv[1]

def load(name):
    runs = {}
    for b in json.load(open(f"{out}/{name}.json"))["benchmarks"]:
        if "error_occurred" in b and b["error_occurred"]:
            sys.exit(f"{b['name']}: {b.get('error_message', 'failed')}")
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        runs[name.split("/manual_time")[0].split("/iterations")[0]] = b
    return runs

def ms(b):
    factor = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b["real_time"] * factor

def verdict(ok):
    return "meets the goal" if ok else "MISSES the goal"

def row(label, value, against=""):
    print(f"  {label:<44} {value:>12}   {against}")

road = load("run_road")
first = load("first_run")
hashes = load("hash")

print("\nRun road (installed; the launcher started as a user until it exits; median of 5),")
print("goal < 30 ms and flat in the file size:")
sizes = sorted({int(k.split("/")[1]) for k in road if k.startswith("BM_RunRoadUntilExit/")})
for mb in sizes:
    r, c = road[f"BM_RunRoadUntilExit/{mb}"], road[f"BM_CatToDevNull/{mb}"]
    row(f"run road, launcher file {r['file_MB']:.0f} MB", f"{ms(r):.1f} ms",
        f"cat of the file {ms(c):.1f} ms: {ms(r) / ms(c):.2f}x cat; {verdict(ms(r) < 30)}")
small, big = road[f"BM_RunRoadUntilExit/{sizes[0]}"], road[f"BM_RunRoadUntilExit/{sizes[-1]}"]
row(f"flatness ({big['file_MB']:.0f} MB file against {small['file_MB']:.0f} MB)", f"{ms(big) / ms(small):.2f}x",
    f"(cat: {ms(road[f'BM_CatToDevNull/{sizes[-1]}']) / ms(road[f'BM_CatToDevNull/{sizes[0]}']):.1f}x)")
row("starting /bin/true as the user (in every run)", f"{ms(road['BM_TrueAsUser']):.1f} ms")
r, c = first["BM_RunRoadUntilExit"], first["BM_CatInstaller"]
row(f"run road, OpenJDK installer {r['installer_MB']:.0f} MB", f"{ms(r):.1f} ms",
    f"cat of the file {ms(c):.1f} ms: {ms(r) / ms(c):.2f}x cat; {verdict(ms(r) < 30)}")

print("\nFirst run of an offline installer carrying the installed OpenJDK 17 (until the launcher exits,")
print("class-data dump included), goal <= 1.3x xz -dc:")
f, x, t = first["BM_FirstRunUntilExit"], first["BM_XzDecompressOnly"], first["BM_XzDecompressTarExtract"]
row(f"first run, installer {f['installer_MB']:.0f} MB", f"{ms(f):.0f} ms",
    f"{ms(f) / ms(x):.2f}x xz -dc; {verdict(ms(f) <= 1.3 * ms(x))}")
row(f"xz -dc > /dev/null (tar.xz {x['tar_xz_MB']:.0f} MB)", f"{ms(x):.0f} ms")
row("xz -dc | tar x", f"{ms(t):.0f} ms", f"first run is {ms(f) / ms(t):.2f}x this")

print("\nPeak resident memory, goal < 32 MB and flat in the payload size:")
peak = first["BM_FirstRunPeakMemory"]["launcher_peak_rss_MB"]
row("first run above (the launcher process)", f"{peak:.1f} MB", verdict(peak < 32))
payloads = []
for size in (104857600, 1073741824):
    text = open(f"{out}/payload-{size}.txt").read()
    kb = int(re.search(r"maxrss_kb=(\d+)", text).group(1))
    seconds = float(re.search(r"seconds=([0-9.]+)", text).group(1))
    payloads.append(kb / 1024)
    row(f"extracting a {size >> 20} MB payload", f"{kb / 1024:.1f} MB", f"({seconds:.1f} s) {verdict(kb / 1024 < 32)}")
row("flatness (1 GB against 100 MB)", f"{payloads[1] / payloads[0]:.2f}x")

import os
if os.path.exists(f"{out}/blocks.txt"):
    text = open(f"{out}/blocks.txt").read()
    figures = {}
    for line in text.splitlines():
        name, *fields = line.split()
        if "=" in name:
            fields, name = [name] + fields, "archive"
        figures[name] = {k: float(v) for k, v in (f.split("=") for f in fields)}
    pipe, xz4, xz1 = figures["pipeline"], figures["xz4"], figures["xz1"]
    archive = figures["archive"]
    mb = lambda f: f["maxrss_kb"] / 1024
    print(f"\nOpenJDK archive in blocks (xz -T0 -6 form, {archive['bytes'] / (1 << 20):.0f} MB,"
          f" {archive['blocks']:.0f} blocks), median of 5 rounds, peak resident memory of each;")
    print("goal <= 1.1x xz -T4 at 128 MiB in time, at no more memory than it:")
    ratio = pipe["seconds"] / xz4["seconds"]
    row("extraction on the decoder's threads", f"{pipe['seconds'] * 1000:.0f} ms",
        f"{mb(pipe):6.1f} MB  {ratio:.2f}x xz -T4; {verdict(ratio <= 1.1)}")
    row("  its memory against xz -T4's", f"{mb(pipe) / mb(xz4):.2f}x",
        verdict(pipe["maxrss_kb"] <= xz4["maxrss_kb"]))
    row("xz -T4 --memlimit-mt-decompress=128MiB -dc", f"{xz4['seconds'] * 1000:.0f} ms",
        f"{mb(xz4):6.1f} MB  (the anchor)")
    row("xz -T1 -dc", f"{xz1['seconds'] * 1000:.0f} ms",
        f"{mb(xz1):6.1f} MB  extraction {pipe['seconds'] / xz1['seconds']:.2f}x this")

print("\nDigest throughput (per CPU second; 1 MiB inputs; median of 5), goal Keccak-256 >= 400 MB/s")
print("and >= 0.9x openssl's SHA3-256 (the same permutation, hand-tuned):")
k, m = hashes["BM_Keccak256/1048576"], hashes["BM_Mixed/1048576"]
row("Keccak-256", f"{k['MB/s']:.0f} MB/s", verdict(k["MB/s"] >= 400))
if os.path.exists(f"{out}/openssl-sha3"):
    ossl = float(open(f"{out}/openssl-sha3").read())
    row("openssl speed -evp sha3-256", f"{ossl:.0f} MB/s",
        f"Keccak-256 {k['MB/s'] / ossl:.2f}x this; {verdict(k['MB/s'] >= 0.9 * ossl)}")
row("mixed digest (Keccak-256 and SHA-256)", f"{m['MB/s']:.0f} MB/s", f"{m['MB/s'] / k['MB/s']:.2f}x Keccak-256")
sha_path = json.load(open(f"{out}/hash.json"))["context"].get("mixed_sha256", "unknown")
print(f"  the mixed digest's SHA-256 blocks ran on: {sha_path}")
PY
