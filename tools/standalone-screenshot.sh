#!/usr/bin/env bash
# Starts the standalone synth on a virtual display, photographs its window
# after 5 s, asks it to quit with SIGINT and checks what a user would see:
# a clean exit within 5 s, no failed assertion on stderr, and a plain framed
# box of the synth page in the default scheme's box colour.
#   tools/standalone-screenshot.sh <standalone binary> <work folder>
# The screenshot is kept in the work folder when a check fails (always with
# TALVORA_KEEP_SNAPSHOTS set).
set -euo pipefail

# Runs inside the virtual display: start, photograph, SIGINT, wait.
if [ "${1:-}" = "--inner" ]; then
    app="$2" work="$3" shot="$4"
    "$app" >"$work/stdout.txt" 2>"$work/stderr.txt" &
    pid=$!
    sleep 5
    import -window TalvoraXL "$shot" || echo "import failed" >>"$work/checks.txt"
    kill -INT "$pid"
    waited=0
    while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt 50 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "still running 5 s after SIGINT" >>"$work/checks.txt"
        kill -KILL "$pid"
    fi
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || echo "exit status $status after SIGINT" >>"$work/checks.txt"
    exit 0
fi

app="$1"
work="$2"
for tool in xvfb-run import convert; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run tools/packages.sh (xvfb, imagemagick)" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work/home" "$work/config"
shot="$work/standalone.png"


: >"$work/checks.txt"
HOME="$work/home" XDG_CONFIG_HOME="$work/config" \
    xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" --inner "$app" "$work" "$shot"

if grep -q "JUCE Assertion failure" "$work/stderr.txt"; then
    echo "assertions on stderr:" >>"$work/checks.txt"
    grep "JUCE Assertion failure" "$work/stderr.txt" | sort | uniq -c >>"$work/checks.txt"
fi

if [ -f "$shot" ]; then
    # The editor sits 1 px in from the window's left and bottom border; probe
    # the amplitude box beside its first knob (editor 16, 300).
    read -r width height < <(identify -format '%w %h\n' "$shot")
    x=$((1 + 16))
    y=$((height - 1 - 740 + 300))
    read -r r g b < <(convert "$shot" -format "%[fx:round(255*p{$x,$y}.r)] %[fx:round(255*p{$x,$y}.g)] %[fx:round(255*p{$x,$y}.b)]\n" info:)
    for channel in "$r" "$g" "$b"; do
        diff=$((channel - 0x3C))
        if [ "${diff#-}" -gt 16 ]; then
            echo "box colour at ($x, $y) of ${width}x${height} is $r,$g,$b, not within 16 of 60,60,60" >>"$work/checks.txt"
            break
        fi
    done
else
    echo "no screenshot" >>"$work/checks.txt"
fi

if [ -s "$work/checks.txt" ]; then
    cat "$work/checks.txt" >&2
    echo "screenshot: $shot" >&2
    exit 1
fi
[ -n "${TALVORA_KEEP_SNAPSHOTS:-}" ] && echo "screenshot: $shot" || rm -f "$shot"
echo "standalone window checked"
