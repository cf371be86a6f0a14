#!/usr/bin/env bash
# Installs what the build needs (Debian packages), then builds and tests the
# library in every configuration: optimised with warnings as errors,
# AddressSanitizer + UndefinedBehaviorSanitizer, and 32-bit x86; cross-builds
# the x86-64 and x86 Windows DLLs, checks their export and import tables, and
# runs the suites and the host stand-in under wine; compares the images that
# the host stand-in's demo leaves on Linux and on Windows byte for byte; and
# runs the fuzz targets for a short smoke run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 8)

need_pkgs=()
command -v cmake >/dev/null || need_pkgs+=(cmake)
command -v ninja >/dev/null || need_pkgs+=(ninja-build)
command -v g++ >/dev/null || need_pkgs+=(g++)
command -v clang++ >/dev/null || need_pkgs+=(clang)
command -v python3 >/dev/null || need_pkgs+=(python3)
[ -f /usr/src/googletest/CMakeLists.txt ] || need_pkgs+=(googletest)
[ -f /usr/include/benchmark/benchmark.h ] || need_pkgs+=(libbenchmark-dev)
[ -d /usr/lib/gcc/x86_64-linux-gnu/12/32 ] || need_pkgs+=(g++-multilib)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need_pkgs+=(g++-mingw-w64-x86-64-posix)
command -v i686-w64-mingw32-g++-posix >/dev/null || need_pkgs+=(g++-mingw-w64-i686-posix)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need_pkgs+=(libclang-rt-dev)
[ -x /usr/lib/wine/wine64 ] || need_pkgs+=(wine64)
if [ ${#need_pkgs[@]} -gt 0 ]; then
  echo "== installing: ${need_pkgs[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_pkgs[@]}" >/dev/null
fi

build=${KELVRA_BUILD_ROOT:-$root/build}
configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$build/$dir" -G Ninja "$@" >/dev/null
}
run_suite() {  # dir
  echo "== build and test: $1"
  cmake --build "$build/$1" -j "$jobs"
  (cd "$build/$1" && ctest -j "$jobs" --output-on-failure --timeout 900)
}

configure release -DCMAKE_BUILD_TYPE=Release -DKELVRA_WERROR=ON
configure sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_SANITIZE=ON
# Some kernels run no 32-bit programs; the 32-bit suite then runs under
# user-mode emulation.
emulator=()
run32=()
runs32=yes
probe=$(mktemp -d)
printf 'int main(void){return 0;}\n' > "$probe/p.c"
gcc -m32 "$probe/p.c" -o "$probe/p32"
if ! "$probe/p32" 2>/dev/null; then
  runs32=no
  if ! command -v qemu-i386 >/dev/null; then
    echo "== installing: qemu-user (this kernel runs no 32-bit programs)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user >/dev/null
  fi
  emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386)
  run32=(qemu-i386)
fi
rm -rf "$probe"
# 32-bit Windows programs run under wine only where the kernel runs 32-bit
# programs (wine's 32-bit loader is one).
if [ "$runs32" = yes ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "== installing: wine32:i386"
  dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine32:i386 >/dev/null
fi
configure x86 -DCMAKE_BUILD_TYPE=Release -DKELVRA_WERROR=ON "${emulator[@]}" \
  -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_SHARED_LINKER_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite release
run_suite sanitize
run_suite x86

# Every suite replayed the checked-in host sessions (session.replay): the
# 64-bit and the 32-bit builds must have seen the same in every one.
echo "== session digests: 64-bit and 32-bit builds"
diff -u "$build/release/session-digests.txt" "$build/x86/session-digests.txt"
diff -u "$build/release/session-digests.txt" "$build/sanitize/session-digests.txt"

# Windows: the DLLs stand alone (exports, the platform compiler's alias and
# imports checked); the suites and the host stand-in run under wine.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_archs=(x86_64)
if [ "$runs32" = yes ]; then
  wine_archs+=(i686)
else
  echo "== this machine runs no 32-bit programs: the x86 Windows build is checked but not run"
fi
for arch in x86_64 i686; do
  echo "== Windows: $arch"
  configure "win-$arch" -DCMAKE_BUILD_TYPE=Release -DKELVRA_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake"
  cmake --build "$build/win-$arch" -j "$jobs"
  python3 tests/exports/check_exports.py pe "$build/win-$arch/bin/KelvraStorageLib.dll" \
    tests/exports "$arch-w64-mingw32-objdump"
done
# The first start makes wine's prefix; later starts, parallel ones included,
# share it.
wine "$build/win-x86_64/bin/kelvra-host.exe" >/dev/null 2>&1 || true
for arch in "${wine_archs[@]}"; do
  echo "== Windows suite under wine: $arch"
  (cd "$build/win-$arch" && ctest -j "$jobs" --output-on-failure --timeout 900)
  # The replayed host sessions: Windows saw what Linux saw (the Windows
  # digest file has DOS line ends).
  diff -u --strip-trailing-cr "$build/release/session-digests.txt" "$build/win-$arch/session-digests.txt"
done

echo "== the demo's final images: the same bytes from every build"
images=$build/demo-images
rm -rf "$images"
mkdir -p "$images"/{linux-x86_64,linux-x86}
"$build/release/host/kelvra-host" demo --out "$images/linux-x86_64" >/dev/null
"${run32[@]}" "$build/x86/host/kelvra-host" demo --out "$images/linux-x86" >/dev/null
for arch in "${wine_archs[@]}"; do
  mkdir -p "$images/windows-$arch"
  (cd "$build/win-$arch/bin" && wine ./kelvra-host.exe demo --out "$images/windows-$arch" >/dev/null)
done
for dir in "$images"/*; do
  for f in mfs.bin efs.bin oem.bin; do
    cmp "$images/linux-x86_64/$f" "$dir/$f"
  done
  echo "$(basename "$dir"): mfs.bin, efs.bin and oem.bin identical to linux-x86_64"
done

if [ -d tests/fuzz ] && ls tests/fuzz/*.cpp >/dev/null 2>&1; then
  echo "== fuzz smoke runs"
  configure fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_FUZZ=ON -DKELVRA_SANITIZE=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  cmake --build "$build/fuzz" -j "$jobs" --target fuzz_fcs_buffer fuzz_file_table \
    fuzz_afs_mount fuzz_efs_mount fuzz_session
  (cd "$build/fuzz" && ctest -j "$jobs" --output-on-failure -L fuzz)
fi
echo "== all configurations passed"
