#!/usr/bin/env bash
# Installs what is missing, builds the launcher and the test-side packer, packs a demo
# offline installer from the sample content in demo/ (the updater program, a small Java
# runtime that hands every call to the installed JDK, an application) and runs it twice:
# the first run extracts and installs everything, then launches the updater; the second
# finds it installed and launches at once. The demo application is "HalvorinDemo"; it
# installs into this user's ~/.Halvorin/Halvorin-HalvorinDemo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target halvorin-launcher halvorin-pack fake_unpack200

WORK=build/demo
rm -rf "$WORK" && mkdir -p "$WORK/content/qv" "$WORK/content/jre" "$WORK/content/app" "$WORK/classes"
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

# A small Java runtime: its java hands every call to the installed JDK (the class-data
# dump writes into this runtime, never into the JDK), its unpack200 is the stand-in that
# undoes the packer's pack200 form, and lib/rt.jar marks it as a usable runtime.
cat > "$WORK/content/jre/java" <<SCRIPT
#!/bin/sh
here=\$(cd "\$(dirname "\$0")" && pwd)
for a in "\$@"; do
  if [ "\$a" = -Xshare:dump ]; then
    mkdir -p "\$here/../lib/server"
    exec "$JAVA_HOME_DIR/bin/java" -XX:SharedArchiveFile="\$here/../lib/server/classes.jsa" "\$@"
  fi
done
exec "$JAVA_HOME_DIR/bin/java" "\$@"
SCRIPT
"$JAVA_HOME_DIR/bin/jar" cf "$WORK/content/jre/rt.jar" -C "$WORK/classes" .
echo "demo certificate store" > "$WORK/content/jre/cacerts"
echo "HalvorinDemo application, installed by the launcher" > "$WORK/content/app/readme.txt"
echo "notes of the demo application" > "$WORK/content/app/notes.txt"

# No update_url: the packer writes the placeholder, so no update site is asked.
cat > "$WORK/demo.manifest" <<MANIFEST
sign-key 2048
param jre_name demojre
param splash_buffer 4
header app_name HalvorinDemo
header app_version 1
header qv_version 1
header jre_version 1
header install_type perm_user
header java_version 17
file lzma64 content/lzma64
file nativesplash.png content/nativesplash.png
tree qv1.p2.l2 content/qv signed
folder qv-extra
folder qv-extra2
nested demojre.p2.l2 signed
folder bin
file bin/java content/jre/java
file bin/unpack200 ../bin/fake_unpack200
pack200 lib/rt.jar content/jre/rt.jar
file lib/security/cacerts content/jre/cacerts
end
nested app.p2.l2 signed
file readme.txt content/app/readme.txt
pack200 lib/demo-app.jar content/qv/demo.jar
end
file notes.txt content/app/notes.txt
MANIFEST
build/bin/halvorin-pack installer "$WORK/demo.manifest" -l build/bin/halvorin-launcher \
  -o "$WORK/HalvorinDemo-installer"

HOME_DIR=$(getent passwd "$(id -u)" | cut -d: -f6)
MASTER="$HOME_DIR/.Halvorin/Halvorin-HalvorinDemo"
rm -rf "$MASTER"
export HV_DEMO_DONE="$PWD/$WORK/updater-done"

# One run of the installer; waits for the updater's report (the launcher does not wait).
run_installer() {
  rm -f "$HV_DEMO_DONE"
  echo "=== Running $WORK/HalvorinDemo-installer ($1)"
  set +e
  "$WORK/HalvorinDemo-installer" --demo-argument
  local status=$?
  set -e
  echo "=== The launcher exited with status $status"
  [ "$status" = 0 ] || exit 1
  for _ in $(seq 1 100); do [ -e "$HV_DEMO_DONE" ] && break; sleep 0.2; done
  [ -e "$HV_DEMO_DONE" ] || { echo "The demo updater did not report"; exit 1; }
}

run_installer "first run: extracts the tail and installs"
echo "=== Installed: $(cd "$MASTER" && ls -d Halvorin-*-complete | tr '\n' ' ')"
run_installer "second run: what is installed is current, so it launches at once"
LAST_LOG=$(ls -t "$MASTER/logs" | head -1)
grep -q "Running without extraction now" "$MASTER/logs/$LAST_LOG" \
  || { echo "The second run did not take the run road"; exit 1; }
echo "=== Demo done; installed under $MASTER (log files in $MASTER/logs)"
