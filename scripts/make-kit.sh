#!/usr/bin/env bash
# make-kit.sh CATALOGUE SAMPLES_DIR|- HOST OUT.tar.gz
#
# Makes a speaker kit: OUT.tar.gz holds one folder, orvant/, with the program
# set to post to HOST (a host name, optionally with ":port", and with
# "https://" in front for an upload over TLS), the catalogue
# as orvant.xml, the reference samples in samples/, an empty recorded/, and
# the libraries the program needs beyond a Debian 12 desktop's base (lib/,
# plugins/, qt.conf) and the windows' font (fonts/). It runs after unpacking, without building or
# installing anything.
#
# SAMPLES_DIR is copied as samples/; with "-" the samples the catalogue
# lacks are spoken from the captions by espeak-ng. Before anything is packed
# the catalogue is judged with the program's own rules
# (orvant-check-catalogue); any problem stops the kit.
#
# An https:// server's certificate is checked against the system's
# authorities; ORVANT_KIT_CA_FILE=FILE.pem puts that file in the kit as
# ca.pem and checks against it instead (a private authority).
#
# The program is built in $ORVANT_KIT_BUILD, default build-kit/ of this
# checkout, with the optimisation the test suite runs (RelWithDebInfo), and
# stripped; later kits reuse that build.
set -euo pipefail
trap 'echo "make-kit: failed at line $LINENO; no kit was made." >&2' ERR
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -ne 4 ]; then
  echo "usage: $0 CATALOGUE SAMPLES_DIR|- HOST OUT.tar.gz" >&2
  exit 2
fi
catalogue="$1" samples="$2" host="$3" out="$4"
[ -f "$catalogue" ] || { echo "make-kit: no catalogue file $catalogue" >&2; exit 1; }
[ "$samples" = - ] || [ -d "$samples" ] || { echo "make-kit: no samples folder $samples" >&2; exit 1; }
scheme=http://
case "$host" in
  https://*) scheme=https://; host="${host#https://}" ;;
  http://*) host="${host#http://}" ;;
esac
host="${host%/}"
case "$host" in
  ""|*[!A-Za-z0-9.:\[\]-]*) echo "make-kit: \"$host\" is not a host name (with an optional :port)" >&2; exit 1 ;;
esac
ca="${ORVANT_KIT_CA_FILE:-}"
[ -z "$ca" ] || [ -f "$ca" ] || { echo "make-kit: no certificate file $ca" >&2; exit 1; }
[ -z "$ca" ] || [ "$scheme" = https:// ] || { echo "make-kit: ORVANT_KIT_CA_FILE needs an https:// HOST" >&2; exit 1; }
configured_host="$host"
[ "$scheme" = http:// ] || configured_host="$scheme$host"
build="${ORVANT_KIT_BUILD:-$root/build-kit}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

echo "make-kit: building the program for $scheme$host/phpu/sndupload.php in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANT_KIT=ON -DORVANT_TESTS=OFF \
      -DORVANT_BENCH=OFF "-DORVANT_UPLOAD_HOST=$configured_host" "-DORVANT_UPLOAD_CA_FILE=${ca:+ca.pem}" >/dev/null
cmake --build "$build" --target orvant orvant-check-catalogue >/dev/null

stage="$(mktemp -d)"
trap 'rm -rf "$stage" "$out.part"' EXIT
kit="$stage/orvant"
mkdir -p "$kit/samples" "$kit/recorded" "$kit/lib"
strip --strip-unneeded -o "$kit/orvant" "$build/bin/orvant"
cp "$catalogue" "$kit/orvant.xml"
[ -z "$ca" ] || cp "$ca" "$kit/ca.pem"
check="$build/kit/orvant-check-catalogue"
[ "$samples" = - ] || cp -R "$samples/." "$kit/samples/"

# The catalogue first: structure and take names, before any sample is made.
if ! "$check" --missing-samples "$kit/orvant" >"$stage/missing" 2>"$stage/problems"; then
  # Samples that would be spoken are no problem; given ones are judged too.
  if [ "$samples" = - ]; then cat "$stage/problems"; else "$check" "$kit/orvant" || true; fi
  echo "make-kit: the catalogue $catalogue has problems; no kit was made." >&2
  exit 1
fi
if [ "$samples" = - ]; then
  # Speak each phrase that lacks a sample under the name the program will
  # look for, converted to the takes' format (22050 Hz, 16-bit stereo).
  while IFS= read -r -d '' name && IFS= read -r -d '' caption; do
    mkdir -p "$(dirname "$kit/samples/$name")"
    espeak-ng -s 150 -w "$stage/raw.wav" -- "$caption"
    sox "$stage/raw.wav" -r 22050 -c 2 -b 16 -e signed-integer "$kit/samples/$name"
  done <"$stage/missing"
  rm -f "$stage/raw.wav"
fi
if ! "$check" "$kit/orvant"; then
  echo "make-kit: the catalogue $catalogue has problems; no kit was made." >&2
  exit 1
fi

# Libraries. A Debian 12 desktop has the C and C++ runtimes, ALSA and the
# graphics driver's OpenGL libraries (these must be the machine's own); every
# other library the program or its X11 platform plugin loads is bundled in
# lib/, where the program's RPATH ($ORIGIN/lib) finds it first.
# Without qtpaths6, Debian's plugin folder in the machine's architecture.
qtplugins="$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || true)"
if [ -z "$qtplugins" ]; then
  triplet="$(gcc -print-multiarch 2>/dev/null || true)"
  [ -n "$triplet" ] || triplet="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
  qtplugins="/usr/lib/$triplet/qt6/plugins"
fi
mkdir -p "$kit/plugins/platforms" "$kit/plugins/platforminputcontexts"
cp "$qtplugins/platforms/libqxcb.so" "$kit/plugins/platforms/"
# Dead keys and compose sequences in the speaker's name.
cp "$qtplugins/platforminputcontexts/libcomposeplatforminputcontextplugin.so" "$kit/plugins/platforminputcontexts/"
printf '[Paths]\nPrefix = .\nPlugins = plugins\n' >"$kit/qt.conf"
# The windows' font, which the program registers from fonts/ beside it
# (Wine's Tahoma, LGPL: its copyright file goes with it).
if [ -f /usr/share/wine/fonts/tahoma.ttf ]; then
  mkdir -p "$kit/fonts"
  cp /usr/share/wine/fonts/tahoma.ttf "$kit/fonts/"
  cp /usr/share/doc/fonts-wine/copyright "$kit/fonts/tahoma.copyright"
fi
base='^(ld-linux.*|libc|libm|libdl|libpthread|librt|libresolv|libutil|libstdc\+\+|libgcc_s|libasound|libGL|libGLX|libGLdispatch|libOpenGL|libEGL|libgbm|libdrm)\.so'
# libX11 loads the cursor library only at run time, so ldd does not see it.
dlopened=$(ldconfig -p | awk '$1 == "libXcursor.so.1" && /x86-64/ { found = $NF } END { print found }')
for object in "$kit/orvant" "$kit"/plugins/*/*.so $dlopened; do
  if [ "$object" = "$dlopened" ]; then echo "$(basename "$object") $object"; fi
  ldd "$object" | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }'
done | sort -u | while read -r soname path; do
  [[ "$soname" =~ $base ]] && continue
  cp -L "$path" "$kit/lib/$soname"
done
chmod 0644 "$kit"/lib/* "$kit"/plugins/*/*.so

cat >"$kit/README.txt" <<EOF
Orvant Sound Recording Tool

Start the program with ./orvant in this folder (or from your file manager).
Your recordings are kept in recorded/; "Compress and Upload" sends them,
with your name, country and region, to $host$([ "$scheme" = https:// ] && echo " over an encrypted connection").
Keep this folder together: the program needs the files beside it.
EOF

mkdir -p "$(dirname "$out")"
tar -C "$stage" -czf "$out.part" orvant
mv "$out.part" "$out"
echo "make-kit: $out ($(du -h "$out" | cut -f1)): $(grep -c . <(find "$kit/lib" -type f)) libraries bundled"
