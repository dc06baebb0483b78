#!/usr/bin/env bash
# Saves a PNG of every wizard page and dialog built so far, for a person to look at:
#   tools/screenshots.sh [build folder] [output folder]
# velmora runs under a virtual X server (xvfb-run) with a settings folder of its own.
set -euo pipefail

build=${1:-build}
out=${2:-$build/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
config=$(mktemp -d /tmp/velmora-shots.XXXXXX)
trap 'rm -rf "$config"' EXIT

XDG_CONFIG_HOME=$config VELMORA_SCREENSHOTS=$out \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$build/common/velmora"
ls -1 "$out"/*.png
