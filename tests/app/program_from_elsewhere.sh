#!/bin/bash
# Starts the real executable, copied into a program folder of its own, from
# another current directory that holds a broken decoy catalogue, under Xvfb.
# Passes when the main window appears at its size with the catalogue beside
# the executable loaded (top node selected) and its sample found ("How it
# should sound like" enabled), and no error box came first.
# usage: program_from_elsewhere.sh BIN_DIR
set -euo pipefail
bin="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/prog/samples" "$work/prog/recorded" "$work/elsewhere/samples"
cp "$bin/orvant" "$work/prog/orvant"
echo '<r caption="Found beside"><p caption="Phrase" wav="p1"/></r>' > "$work/prog/orvant.xml"
cp "$bin/samples/Helloworld.wav" "$work/prog/samples/Foundbeside.wav"
echo 'not a catalogue <' > "$work/elsewhere/orvant.xml"
cd "$work/elsewhere"

export WORK="$work"
# The window must reach the X server even where the test environment asks Qt
# for its offscreen platform (as CI environments often do).
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 811x496x24" bash -c '
  set -u
  "$WORK/prog/orvant" & pid=$!
  status=1
  for i in $(seq 1 240); do
    sleep 0.25
    kill -0 $pid 2>/dev/null || { echo "program ended early"; break; }
    for id in $(xdotool search --onlyvisible --name "^Orvant Sound Recording Tool\$" 2>/dev/null); do
      geo=$(xdotool getwindowgeometry "$id" | awk "/Geometry/ {print \$2}")
      if [ "$geo" != "811x496" ]; then echo "unexpected window $geo (an error box?)"; status=2; break 2; fi
      import -window root "$WORK/shot.png" 2>/dev/null || continue
      row=$(convert "$WORK/shot.png" -format "%[pixel:p{300,5}]" info:)
      green=$(convert "$WORK/shot.png" -crop 135x70+1+71 +repage -channel G -separate -format "%[fx:maxima]" info:)
      echo "top row: $row, sample button green maximum: $green"
      # Selected top row (not the tree background) and a lit sample button.
      if [ "$row" != "srgb(220,226,233)" ] && awk "BEGIN{exit !($green > 0.9)}"; then status=0; break 2; fi
    done
  done
  kill $pid 2>/dev/null; wait $pid 2>/dev/null
  exit $status'
