#!/bin/sh
# Takes the README's screenshots on a private X server with a compositor: the panel with the demo
# conversation, the vision agent's empty panel, the voice orb, and the setup and settings windows. Run by hand after a build
# (make build).
set -eu
cd "$(dirname "$0")/.."
out=docs/screenshots
build=${BUILD_DIR:-build}
home=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$home"' EXIT

Xvfb :91 -screen 0 1280x800x24 -noreset -nolisten tcp >/dev/null 2>&1 &
sleep 1
export DISPLAY=:91 QT_QPA_PLATFORM=xcb XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" OLLAMA_HOST=127.0.0.1:9
xcompmgr -n >/dev/null 2>&1 &
# A backdrop: the tests' click target, a plain blue window over the whole screen.
"$build/tests/tst_panel" --click-target >/dev/null 2>&1 &
sleep 1

shoot() { # name, crop geometry, program flags...
    name=$1 crop=$2
    shift 2
    "$build/kestrin-ai" "$@" >/dev/null 2>&1 &
    pid=$!
    sleep 4
    "$build/tests/kestrin-test-helper" grab "$out/$name.png" $crop 2>/dev/null
    kill $pid
    wait $pid 2>/dev/null || true
    rm -f "$home/data/Kestrin AI/instance.sock"
}

# The first launch: nothing answers on the engine's port, so setup opens by itself.
shoot setup '370 80 540 640'
# The rest: the stand-in engine with both models, and setup already seen.
"$build/kestrin-fake-ollama" --port 11500 >/dev/null 2>&1 &
mkdir -p "$home/config/Kestrin AI"
echo '{"didSeeSetup": true}' >"$home/config/Kestrin AI/defaults.json"
export OLLAMA_HOST=127.0.0.1:11500
shoot panel-oryn '804 30 476 740' --demo --expand
shoot panel-kestrin '804 30 476 740' --kestrin --expand
shoot orb '490 480 300 300' --orb=speaking
shoot settings '430 130 420 540' --settings
echo "Wrote $out/panel-oryn.png, panel-kestrin.png, orb.png, setup.png and settings.png"
