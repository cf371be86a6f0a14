#!/usr/bin/env bash
# Installs what the build needs (Debian packages), then builds and tests the
# library in every configuration: optimised with warnings as errors,
# AddressSanitizer + UndefinedBehaviorSanitizer, and 32-bit x86; cross-builds
# the x86-64 and x86 Windows DLLs and checks their export tables; and runs the
# fuzz targets for a short smoke run.
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
probe=$(mktemp -d)
printf 'int main(void){return 0;}\n' > "$probe/p.c"
gcc -m32 "$probe/p.c" -o "$probe/p32"
if ! "$probe/p32" 2>/dev/null; then
  if ! command -v qemu-i386 >/dev/null; then
    echo "== installing: qemu-user (this kernel runs no 32-bit programs)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user >/dev/null
  fi
  emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386)
fi
rm -rf "$probe"
configure x86 -DCMAKE_BUILD_TYPE=Release -DKELVRA_WERROR=ON "${emulator[@]}" \
  -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_SHARED_LINKER_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite release
run_suite sanitize
run_suite x86

for arch in x86_64 i686; do
  echo "== Windows DLL: $arch"
  configure "win-$arch" -DCMAKE_BUILD_TYPE=Release -DKELVRA_WERROR=ON -DKELVRA_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake"
  cmake --build "$build/win-$arch" -j "$jobs" --target KelvraStorageLib
  python3 tests/exports/check_exports.py pe "$build/win-$arch/KelvraStorageLib.dll" \
    tests/exports "$arch-w64-mingw32-objdump"
done

if [ -d tests/fuzz ] && ls tests/fuzz/*.cpp >/dev/null 2>&1; then
  echo "== fuzz smoke runs"
  configure fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_FUZZ=ON -DKELVRA_SANITIZE=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  cmake --build "$build/fuzz" -j "$jobs" --target fuzz_fcs_buffer fuzz_file_table \
    fuzz_afs_mount fuzz_efs_mount
  (cd "$build/fuzz" && ctest -j "$jobs" --output-on-failure -L fuzz)
fi
echo "== all configurations passed"
