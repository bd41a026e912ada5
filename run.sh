#!/usr/bin/env bash
# Builds what is needed and runs the main demonstration: the colour 0x8406
# raw-sensor camera looks at a colour chart under warm (2800 K) light,
# starting at its shortest exposure; the driver debayers its Bayer frames
# and its own loops bring exposure and white balance in. 80 RGB24 frames
# are written to out/ as PNG files, with the capture's JSON summary (the
# loops' values per frame) in out/capture.json.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

ensure_packages build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libjpeg-dev \
  libcpp-httplib-dev nlohmann-json3-dev libcli11-dev python3

cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release -DTV_BUILD_TESTS=OFF >/dev/null
cmake --build build/run --target tvcam
mkdir -p out
rm -f out/frame_*.png out/frame_*.jpg out/frame_*.raw  # frames of an earlier run
camera=(--camera 8406-colour)
build/run/tools/tvcam formats "${camera[@]}" | tee out/formats.txt
build/run/tools/tvcam capture "${camera[@]}" --format RGB24 --size 1920x1080 --frames 80 \
  --illuminant 2800 --exposure min --out out --json > out/capture.json
# The loops' values of the frames on which they ran, from the driver.
python3 - out/capture.json <<'PY' | tee out/capture.txt
import json, sys
capture = json.load(open(sys.argv[1]))
print("captured %d frames of %s %dx%d from %s" % (capture["summary"]["delivered"], capture["format"]["format"],
      capture["format"]["width"], capture["format"]["height"], capture["camera"]))
print("frame  brightness  exposure  gain  white balance (r g b)")
for f in capture["frames"]:
    loops = f["loops"]
    if loops and loops["ran"]:
        print("%5d  %10d  %8d  %4d  %4d %4d %4d" % (f["index"], loops["brightness"], loops["exposure"],
              loops["gain"], *loops["white_balance"]))
PY
echo "frames written to $(pwd)/out/ (frame_00000.png .. frame_00079.png)"
