#!/usr/bin/env bash
# Installs what is needed, builds every format, installs the plug-ins for
# the current user and starts the standalone synth.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTALVORA_BUILD_TESTS=OFF -DTALVORA_BUILD_BENCH=OFF
cmake --build build -j"$(nproc)" --target TalvoraXL_VST3 TalvoraXL_LV2 TalvoraXL_Standalone

artefacts=build/TalvoraXL_artefacts/Release
mkdir -p ~/.vst3 ~/.lv2
rm -rf ~/.vst3/TalvoraXL.vst3 ~/.lv2/TalvoraXL.lv2
cp -r "$artefacts/VST3/TalvoraXL.vst3" ~/.vst3/
cp -r "$artefacts/LV2/TalvoraXL.lv2" ~/.lv2/
echo "Installed ~/.vst3/TalvoraXL.vst3 and ~/.lv2/TalvoraXL.lv2"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: not starting the standalone synth. Load the installed plug-ins in a host, or run"
    echo "  $artefacts/Standalone/TalvoraXL"
    exit 0
fi
exec "$artefacts/Standalone/TalvoraXL"
