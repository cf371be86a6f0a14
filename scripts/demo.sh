#!/usr/bin/env bash
# Builds the library and the host stand-in, then runs one host session over
# sample inputs that the stand-in makes itself (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=OFF >/dev/null
cmake --build build/demo --target kelvra-host >/dev/null
exec build/demo/host/kelvra-host demo "$@"
