#!/usr/bin/env bash
# Installs what is missing, builds the launcher and the packer tool, packs a demo offline
# installer from sample content made here (the updater program from demo/java, a Java
# runtime assembled from the installed OpenJDK 17, an application; every archive signed
# with the demo key in demo/keys) and runs it twice: the first run extracts and installs
# everything, then launches the updater; the second finds it installed and launches at
# once. The demo application is "HalvorinDemo"; it installs into this user's
# ~/.Halvorin/Halvorin-HalvorinDemo and touches nothing else there.
#   bash scripts/demo.sh            build, pack and run
#   bash scripts/demo.sh --remove   remove the demo's install folder again
set -euo pipefail
cd "$(dirname "$0")/.."
HOME_DIR=$(getent passwd "$(id -u)" | cut -d: -f6)
MASTER="$HOME_DIR/.Halvorin/Halvorin-HalvorinDemo"
if [ "${1:-}" = --remove ]; then
  rm -rf "$MASTER" build/demo
  rmdir "$HOME_DIR/.Halvorin" 2>/dev/null || true
  echo "Removed $MASTER"
  exit 0
fi
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target halvorin-launcher halvorin-pack fake_unpack200

WORK=build/demo
rm -rf "$WORK" && mkdir -p "$WORK/content/qv" "$WORK/content/app" "$WORK/classes"
JAVA_HOME_DIR=/usr/lib/jvm/java-17-openjdk-amd64

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

# The Java runtime: assembled from the installed OpenJDK 17 by jlink (the modules the
# updater needs), plus the unpack200 that undoes the packer's pack200 form; lib/rt.jar,
# shipped as a pack200 entry, marks it as a usable runtime.
"$JAVA_HOME_DIR/bin/jlink" --add-modules java.base --strip-debug --no-header-files \
  --no-man-pages --output "$WORK/content/jre"
mkdir -p "$WORK/content/jre-extra"
"$JAVA_HOME_DIR/bin/jar" cf "$WORK/content/jre-extra/rt.jar" -C "$WORK/classes" .
echo "HalvorinDemo application, installed by the launcher" > "$WORK/content/app/readme.txt"
echo "notes of the demo application" > "$WORK/content/app/notes.txt"

# Every archive is signed with the demo key (demo/keys); its public half goes into the
# tail, so the launcher refuses any archive it does not verify. No update_url: the
# packer writes the placeholder, so no update site is asked.
cat > "$WORK/demo.manifest" <<MANIFEST
sign-key $PWD/demo/keys/demo
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
dir content/jre
file bin/unpack200 ../bin/fake_unpack200
pack200 lib/rt.jar content/jre-extra/rt.jar
end
nested app.p2.l2 signed
file readme.txt content/app/readme.txt
file Halvorin-HalvorinDemo-splash.png content/nativesplash.png
pack200 lib/demo-app.jar content/qv/demo.jar
end
file notes.txt content/app/notes.txt
MANIFEST
echo "=== Packing the demo installer (compresses the runtime: takes a little while)"
build/bin/halvorin-pack installer "$WORK/demo.manifest" -l build/bin/halvorin-launcher \
  -o "$WORK/HalvorinDemo-installer"

rm -rf "$MASTER"
export HV_DEMO_DONE="$PWD/$WORK/updater-done"

# One run of the installer; waits for the updater's report (the launcher does not wait).
# The console output of the launcher and of the Java program it starts goes to a file;
# the demo shows the lines that tell what happened, then everything the program printed.
RUN=0
run_installer() {
  RUN=$((RUN + 1))
  local console="$WORK/run-$RUN.console" start status
  rm -f "$HV_DEMO_DONE"
  echo
  echo "=== Running $WORK/HalvorinDemo-installer --demo-argument ($1)"
  start=$(date +%s%N)
  set +e
  "$WORK/HalvorinDemo-installer" --demo-argument > "$console" 2>&1
  status=$?
  set -e
  echo "=== The launcher exited with status $status after $(( ($(date +%s%N) - start) / 1000000 )) ms"
  [ "$status" = 0 ] || { cat "$console"; exit 1; }
  for _ in $(seq 1 150); do [ -e "$HV_DEMO_DONE" ] && break; sleep 0.2; done
  [ -e "$HV_DEMO_DONE" ] || { cat "$console"; echo "The demo updater did not report"; exit 1; }
  echo "--- What the launcher did (all of its output: $console):"
  grep -E 'Master folder is|Extracting [^ ]*p2\.l2 \(|Archive signature verified|renamed to|Xshare:dump|Running without extraction now|\[Launch\] (Executable|Class)' "$console" \
    | sed -E -e 's/^\+[0-9]+ +//' -e "s/^\[Rename\] File .* renamed to '(.*)'/[Rename] into \\1/" || true
  echo "--- What the Java program printed:"
  grep '^\[Demo updater\]' "$console"
}

[ -n "${DISPLAY:-}" ] && echo "=== DISPLAY is $DISPLAY: the first run shows the splash window"
run_installer "first run: extracts the tail, installs, dumps class data, launches"
grep -q "Extracting JRE archive" "$(ls -td "$MASTER"/logs/* | head -1)" \
  || { echo "The first run did not extract the runtime"; exit 1; }
echo "=== Installed under $MASTER:"
for folder in "$MASTER"/Halvorin-*-complete; do
  echo "      $(basename "$folder")  ($(du -sh "$folder" | cut -f1))"
done
run_installer "second run: what is installed is current, so it launches at once"
grep -q "Running without extraction now" "$(ls -td "$MASTER"/logs/* | head -1)" \
  || { echo "The second run did not take the run road"; exit 1; }
echo
echo "=== Demo done. Installed under $MASTER (log files in $MASTER/logs)."
echo "    The installer is $WORK/HalvorinDemo-installer; remove the install with"
echo "    bash scripts/demo.sh --remove"
