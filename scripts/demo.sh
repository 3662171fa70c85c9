#!/usr/bin/env bash
# Installs what is missing, builds the launcher and the test-side packer, packs a demo
# installer from the sample content in demo/ and runs it. The demo application is
# "HalvorinDemo"; it installs into this user's ~/.Halvorin/Halvorin-HalvorinDemo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target halvorin-launcher halvorin-pack

WORK=build/demo
rm -rf "$WORK" && mkdir -p "$WORK/content/qv" "$WORK/classes"
JAVA_HOME_DIR=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")

# Sample content: the demo updater program, its launch file, a splash picture.
"$JAVA_HOME_DIR/bin/javac" -d "$WORK/classes" demo/java/demo/Updater.java
"$JAVA_HOME_DIR/bin/jar" cf "$WORK/content/qv/demo.jar" -C "$WORK/classes" .
build/bin/halvorin-pack launch-file "$WORK/content/qv/HalvorinLaunch" --version 6 \
  --class demo.Updater --app-name HalvorinDemo --jvm-mem 256 --classpath demo.jar \
  --extra-arg --from-launch-file
python3 - "$WORK/content/nativesplash.png" <<'PY'
import struct, sys, zlib
w, h = 320, 120
rows = b"".join(b"\x00" + b"".join(bytes((40 + x * 150 // w, 90 + y, 170 - x * 100 // w))
                                    for x in range(w))
               for y in range(h))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) \
      + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
PY
echo "lzma tool placeholder" > "$WORK/content/lzma64"

cat > "$WORK/demo.manifest" <<MANIFEST
sign-key 2048
param jre_name demojre
param splash_buffer 4
header app_name HalvorinDemo
header qv_version 1
header install_type perm_user
header update_url https://updates.invalid/demo
header java_version 17
file lzma64 content/lzma64
file nativesplash.png content/nativesplash.png
tree qv1.p2.l2 content/qv signed
folder qv-extra
folder qv-extra2
MANIFEST
build/bin/halvorin-pack installer "$WORK/demo.manifest" -l build/bin/halvorin-launcher \
  -o "$WORK/HalvorinDemo-installer"

# Extraction of the tail is not built yet: lay out what it would install (the updater
# program and a private Java runtime), so the installer takes its run road.
HOME_DIR=$(getent passwd "$(id -u)" | cut -d: -f6)
MASTER="$HOME_DIR/.Halvorin/Halvorin-HalvorinDemo"
rm -rf "$MASTER"
mkdir -p "$MASTER/Halvorin-Halvorin-1-complete" "$MASTER/Halvorin-demojre-1-complete/bin" \
         "$MASTER/Halvorin-demojre-1-complete/lib"
cp "$WORK/content/qv/"* "$WORK/content/nativesplash.png" "$MASTER/Halvorin-Halvorin-1-complete/"
printf '#!/bin/sh\nexec "%s/bin/java" "$@"\n' "$JAVA_HOME_DIR" > "$MASTER/Halvorin-demojre-1-complete/bin/java"
chmod 755 "$MASTER/Halvorin-demojre-1-complete/bin/java"
"$JAVA_HOME_DIR/bin/jar" cf "$MASTER/Halvorin-demojre-1-complete/lib/rt.jar" -C "$WORK/classes" .

echo "=== Running $WORK/HalvorinDemo-installer"
export HV_DEMO_DONE="$PWD/$WORK/updater-done"
set +e
"$WORK/HalvorinDemo-installer" --demo-argument
status=$?
set -e
echo "=== The launcher exited with status $status"
# The launcher does not wait for the Java program; give it a moment to report.
for _ in $(seq 1 100); do [ -e "$HV_DEMO_DONE" ] && break; sleep 0.2; done
[ -e "$HV_DEMO_DONE" ] || { echo "The demo updater did not report"; exit 1; }
echo "=== Demo done; installed under $MASTER (log files in $MASTER/logs)"
