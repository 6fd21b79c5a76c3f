#!/usr/bin/env bash
# Sets up, builds and runs every test: an optimised build with gcc, a build
# under AddressSanitizer and UndefinedBehaviorSanitizer, an optimised
# single-partition build with clang (no MPI, no METIS), a check that the gcc
# and clang builds write the same bits, consumer projects built against the
# installed packages, and the formatting check.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
bash scripts/setup.sh

step() { printf '\n== %s (at %d s) ==\n' "$*" "$SECONDS"; }

# The five builds below compile many of the same files with the same flags
# (the Debian and single-partition builds repeat most of the gcc build):
# ccache compiles each once. It changes no bit of any object.
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
# Ninja compiles a target's files while the libraries it links are still
# being built, so the longest file does not hold up the rest.
export CMAKE_GENERATOR=Ninja
# configure DIR ARGS...: cmake -S . -B DIR ARGS..., starting DIR afresh where
# an earlier run configured it for another generator.
configure() {
  local dir=$1
  shift
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
  fi
  cmake -S . -B "$dir" "$@" >/dev/null
}

step "formatting"
bad=$(git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run 2>&1 | grep -c 'warning:' || true)
if [ "$bad" -ne 0 ]; then
  git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run 2>&1 | grep 'warning:' | head -20
  echo "formatting: $bad places differ from .clang-format (run clang-format -i)" >&2
  exit 1
fi

step "include graph"
python3 scripts/check-includes.py

step "optimised build and tests (gcc)"
CXX=g++ configure build-ci -DCMAKE_BUILD_TYPE=Release -DQVL3D_BUILD_BENCH=ON -DQVL3D_WITH_MPI=ON
cmake --build build-ci -j"$jobs"
(cd build-ci && ctest --output-on-failure -j"$jobs")

step "sanitizer build and tests"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DQVL3D_SANITIZE=ON
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs")

step "single-partition build and tests (clang, no MPI, no METIS, for this machine's instruction set)"
# -march=native gives clang the FMA and vector instructions where the machine
# has them, so the comparison below also catches contraction or reassociation
# that the baseline instruction set would hide. The same build checks that the
# library builds and passes its tests without MPI and METIS. The Python module
# has no MPI or METIS part: its tests ran with the gcc build.
CXX=clang++ configure build-clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-march=native \
  -DQVL3D_WITH_MPI=OFF -DQVL3D_WITH_METIS=OFF -DQVL3D_BUILD_PYTHON=OFF
cmake --build build-clang -j"$jobs"
(cd build-clang && ctest --output-on-failure -j"$jobs")

step "gcc and clang write the same bits"
# Both builds solve the same systems and must write byte-identical solutions
# (--output keeps 17 digits, so equal files mean equal doubles).
compiler_of() { sed -n 's/^set(CMAKE_CXX_COMPILER_ID "\(.*\)")$/\1/p' "$1"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -1; }
if [ "$(compiler_of build-ci)" != GNU ] || [ "$(compiler_of build-clang)" != Clang ]; then
  echo "compiler comparison: build-ci is built by '$(compiler_of build-ci)' and build-clang by" \
    "'$(compiler_of build-clang)', not GNU and Clang (remove the two folders and run again)" >&2
  exit 1
fi
cmpdir=$(mktemp -d)
trap 'rm -rf "$cmpdir"' EXIT
# same_bits NAME ARGS...: solve with both builds and compare the files byte
# for byte. (Across ranks the gcc build's tests check that the distributed
# solves give the bits of one partition.)
same_bits() {
  local name=$1 build
  shift
  for build in build-ci build-clang; do
    if ! "$build/apps/qvl3d-solve" "$@" --output "$cmpdir/$build.mtx" >"$cmpdir/$build.log" 2>&1; then
      cat "$cmpdir/$build.log" >&2
      echo "compiler comparison: $name: the $build run failed (qvl3d-solve $*)" >&2
      exit 1
    fi
  done
  if ! cmp -s "$cmpdir/build-ci.mtx" "$cmpdir/build-clang.mtx"; then
    diff "$cmpdir/build-ci.mtx" "$cmpdir/build-clang.mtx" | head -6 >&2 || true
    echo "compiler comparison: $name: gcc and clang wrote different solutions (qvl3d-solve $*)" >&2
    exit 1
  fi
  echo "same bits: $name"
}
same_bits "front door: BiCGSTAB with DILU, CSR, convection-diffusion box 16^3" --grid 16 --method bicgstab --precond dilu --layout csr
same_bits "front door: PCG with the diagonal, native, Poisson box 16^3" --problem poisson --grid 16 --method pcg --precond diagonal --layout native
same_bits "entry point: PCG with DILU, native, Poisson box 20x18x16 renumbered in reverse" --problem poisson --grid 20x18x16 --method pcg --precond dilu --layout native --renumber reverse --entry-point
same_bits "entry point: Gauss-Seidel, ELL, Poisson box 12^3" --problem poisson --grid 12 --method gs --layout ell --entry-point
same_bits "front door: BiCGSTAB with DILU, CSR, pde900.mtx renumbered at random" --matrix data/matrices/pde900.mtx --method bicgstab --renumber random
same_bits "entry point: BiCGSTAB with DILU, ELL, sherman5.mtx, non-blocking halos" --matrix data/matrices/sherman5.mtx --method bicgstab --layout ell --nonblocking --entry-point
same_bits "front door: PCG with multigrid, CSR, Poisson box 20^3" --problem poisson --grid 20 --method pcg --precond amg --layout csr
same_bits "front door: GMRES(30) with ILU(0), CSR, sherman5.mtx" --matrix data/matrices/sherman5.mtx --method gmres --precond ilu0 --restart 30

step "installed package and consumer"
rm -rf build-ci/stage build-consumer build-consumer-mpi
cmake --install build-ci --prefix build-ci/stage >/dev/null
# A serial host needs no MPI: the libraries link none (the transports are the
# MPI component), and the consumer configures with find_package(MPI) disabled.
needs_mpi() { readelf -d "$1" | grep 'NEEDED.*libmpi' >/dev/null; }
for f in build-ci/stage/lib/libQVL3DTool.so build-ci/stage/lib/libQVLCommunication.so build-ci/stage/lib/libQVL3DToolC.so; do
  if needs_mpi "$f"; then echo "$f links MPI" >&2; exit 1; fi
done
cmake -S examples/consumer -B build-consumer -DCMAKE_PREFIX_PATH="$root/build-ci/stage" \
  -DCMAKE_DISABLE_FIND_PACKAGE_MPI=ON --no-warn-unused-cli >/dev/null
cmake --build build-consumer -j"$jobs" >/dev/null
if needs_mpi build-consumer/consumer; then echo "the serial consumer links MPI" >&2; exit 1; fi
LD_LIBRARY_PATH="$root/build-ci/stage/lib" build-consumer/consumer
# An MPI host: COMPONENTS MPI, run on 2 ranks.
cmake -S examples/consumer-mpi -B build-consumer-mpi -DCMAKE_PREFIX_PATH="$root/build-ci/stage" >/dev/null
cmake --build build-consumer-mpi -j"$jobs" >/dev/null
LD_LIBRARY_PATH="$root/build-ci/stage/lib" OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 \
  mpiexec --oversubscribe -n 2 build-consumer-mpi/consumer-mpi
# The front door's example: a host that assembles its own CSR matrix.
rm -rf build-frontdoor
cmake -S examples/frontdoor -B build-frontdoor -DCMAKE_PREFIX_PATH="$root/build-ci/stage" >/dev/null
cmake --build build-frontdoor -j"$jobs" >/dev/null
LD_LIBRARY_PATH="$root/build-ci/stage/lib" build-frontdoor/frontdoor
# The C interface's hosts: a C99 program (no MPI), its distributed form on
# 2 ranks (COMPONENTS CMPI, MPI found for C alone) and, where gfortran is
# there, the same in Fortran through the module qvl3d.
rm -rf build-c-host build-c-host-mpi build-fortran-host build-fortran-host-mpi build-fortran-make
cmake -S examples/c-host -B build-c-host -DCMAKE_PREFIX_PATH="$root/build-ci/stage" \
  -DCMAKE_DISABLE_FIND_PACKAGE_MPI=ON --no-warn-unused-cli >/dev/null
cmake --build build-c-host -j"$jobs" >/dev/null
if needs_mpi build-c-host/c-host; then echo "the C host links MPI" >&2; exit 1; fi
LD_LIBRARY_PATH="$root/build-ci/stage/lib" build-c-host/c-host
cmake -S examples/c-host-mpi -B build-c-host-mpi -DCMAKE_PREFIX_PATH="$root/build-ci/stage" >/dev/null
cmake --build build-c-host-mpi -j"$jobs" >/dev/null
LD_LIBRARY_PATH="$root/build-ci/stage/lib" OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 \
  mpiexec --oversubscribe -n 2 build-c-host-mpi/c-host-mpi
if command -v gfortran >/dev/null; then
  cmake -S examples/fortran-host -B build-fortran-host -DCMAKE_PREFIX_PATH="$root/build-ci/stage" >/dev/null
  cmake --build build-fortran-host -j"$jobs" >/dev/null
  LD_LIBRARY_PATH="$root/build-ci/stage/lib" build-fortran-host/fortran-host
  cmake -S examples/fortran-host-mpi -B build-fortran-host-mpi -DCMAKE_PREFIX_PATH="$root/build-ci/stage" >/dev/null
  cmake --build build-fortran-host-mpi -j"$jobs" >/dev/null
  LD_LIBRARY_PATH="$root/build-ci/stage/lib" OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 \
    mpiexec --oversubscribe -n 2 build-fortran-host-mpi/fortran-host-mpi
  # The same serial host with gfortran and pkg-config alone.
  mkdir -p build-fortran-make
  PKG_CONFIG_PATH="$root/build-ci/stage/lib/pkgconfig" gfortran -o build-fortran-make/fortran-host \
    examples/fortran-host/main.f90 $(PKG_CONFIG_PATH="$root/build-ci/stage/lib/pkgconfig" pkg-config --cflags --libs qvl3dtool-fortran)
  LD_LIBRARY_PATH="$root/build-ci/stage/lib" build-fortran-make/fortran-host >/dev/null
fi
PKG_CONFIG_PATH="$root/build-ci/stage/lib/pkgconfig" pkg-config --exists --print-errors qvl3dtool-c
# Versioned libraries: libX.so -> libX.so.0 -> libX.so.<version>, SONAME libX.so.0.
version=$(sed -n 's/^project(QVL3DTool VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for lib in QVL3DTool QVLCommunication QVLCommunicationMPI QVL3DToolC QVL3DToolCMPI; do
  f=build-ci/stage/lib/lib$lib.so
  soname=$(objdump -p "$f.${version%%.*}" | awk '$1 == "SONAME" { print $2 }')
  if [ "$(readlink "$f")" != "lib$lib.so.${version%%.*}" ] || [ "$(readlink "$f.${version%%.*}")" != "lib$lib.so.$version" ] ||
    [ ! -f "$f.$version" ] || [ "$soname" != "lib$lib.so.${version%%.*}" ]; then
    ls -l build-ci/stage/lib >&2
    echo "lib$lib: expected lib$lib.so -> lib$lib.so.${version%%.*} -> lib$lib.so.$version, SONAME lib$lib.so.${version%%.*} (SONAME '$soname')" >&2
    exit 1
  fi
done
echo "SONAMEs: lib*.so.${version%%.*}"
# The serial consumer again, built with make through pkg-config, and run with
# no LD_LIBRARY_PATH: its run path names the private prefix, and the
# libraries find each other from there through their own.
rm -rf build-consumer-make && mkdir build-consumer-make
PKG_CONFIG_PATH="$root/build-ci/stage/lib/pkgconfig" LDFLAGS="-Wl,-rpath,$root/build-ci/stage/lib" \
  make -s -C build-consumer-make -f "$root/examples/consumer-make/Makefile"
env -u LD_LIBRARY_PATH build-consumer-make/consumer >/dev/null
for f in build-ci/stage/lib/lib*.so.*.*.*; do
  if env -u LD_LIBRARY_PATH ldd "$f" | grep -q 'not found'; then
    env -u LD_LIBRARY_PATH ldd "$f" >&2
    echo "$f does not find the libraries it needs from the installed prefix" >&2
    exit 1
  fi
done
PKG_CONFIG_PATH="$root/build-ci/stage/lib/pkgconfig" pkg-config --exists --print-errors qvl3dtool-mpi
# The installed command finds its libraries through its run path.
if [ "$(build-ci/stage/bin/qvl3d-solve --version)" != "qvl3d-solve $version" ]; then
  echo "build-ci/stage/bin/qvl3d-solve --version does not print 'qvl3d-solve $version'" >&2
  exit 1
fi
# One include root: every header under include/qvl3d/, each compiling on its
# own with only <prefix>/include on the path, and the exported targets put
# nothing else there but the Fortran module's folder (QVL3DTool::Fortran).
if [ -n "$(find build-ci/stage/include -mindepth 1 -maxdepth 1 ! -name qvl3d)" ]; then
  echo "headers installed outside include/qvl3d/:" $(ls build-ci/stage/include) >&2
  exit 1
fi
mpi_cflags=$(pkg-config --cflags mpi-cxx)
for h in build-ci/stage/include/qvl3d/*.h; do
  if ! echo "#include <qvl3d/$(basename "$h")>" | g++ -std=c++17 -fsyntax-only -I build-ci/stage/include $mpi_cflags -x c++ -; then
    echo "$h does not compile on its own with only <prefix>/include on the path" >&2
    exit 1
  fi
done
if ! echo "#include <qvl3d/qvl3d.h>" | gcc -std=c99 -pedantic-errors -fsyntax-only -I build-ci/stage/include -x c -; then
  echo "qvl3d.h does not compile as C99" >&2
  exit 1
fi
dirs=$(ls build-ci/stage/lib/cmake/QVL3DTool/QVL3DTool*Targets.cmake | grep -v FortranTargets |
  xargs sed -n 's/.*INTERFACE_INCLUDE_DIRECTORIES "\(.*\)"/\1/p' | tr ';' '\n' | sort -u)
if [ "$dirs" != '${_IMPORT_PREFIX}/include' ]; then
  echo "the exported targets' include path is '$dirs', not \${_IMPORT_PREFIX}/include alone" >&2
  exit 1
fi
echo "headers: $(ls build-ci/stage/include/qvl3d | wc -l) under include/qvl3d/, one include root"
echo "exported symbols:"
nm -DC --defined-only build-ci/stage/lib/libQVL3DTool.so | grep -c ' T ' 
if nm -DC --defined-only build-ci/stage/lib/libQVL3DTool.so | grep -E ' (T|W) ' | grep -q 'qvl3d::detail'; then
  echo "internal helpers leak out of the library" >&2
  exit 1
fi
step "Debian packages"
# Built for /usr as a distribution would, checked with lintian, installed into
# this machine with apt-get, and the consumers built against them with no
# prefix path; removed again at the end.
rm -rf build-deb build-deb-consumers
CXX=g++ configure build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQVL3D_BUILD_TESTS=OFF -DQVL3D_BUILD_PYTHON=OFF -DQVL3D_WITH_MPI=ON
cmake --build build-deb -j"$jobs" >/dev/null
(cd build-deb && cpack -G DEB >/dev/null)
debs=(build-deb/*.deb)
for d in "${debs[@]}"; do dpkg-deb -f "$d" Package Depends; done
if ! dpkg-deb -c build-deb/qvl3d-solve_*.deb | grep -q '/usr/share/man/man1/qvl3d-solve.1.gz$'; then
  echo "the qvl3d-solve package has no manual page" >&2
  exit 1
fi
lintian --tag-display-limit 0 "${debs[@]}" >build-deb/lintian.log 2>&1 || true
cat build-deb/lintian.log
if grep -q '^E: ' build-deb/lintian.log; then
  echo "lintian reports errors on the Debian packages" >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "installing the Debian packages needs root: not installed here (CI runs as root)"
else
  packages=$(for d in "${debs[@]}"; do dpkg-deb -f "$d" Package; done)
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${debs[@]/#/$root/}" >/dev/null
  trap 'apt-get -o DPkg::Lock::Timeout=600 purge -y -qq $packages >/dev/null; rm -rf "$cmpdir"' EXIT
  mkdir -p build-deb-consumers
  cmake -S examples/consumer -B build-deb-consumers/serial -DCMAKE_DISABLE_FIND_PACKAGE_MPI=ON --no-warn-unused-cli >/dev/null
  cmake --build build-deb-consumers/serial >/dev/null
  if needs_mpi build-deb-consumers/serial/consumer; then echo "the serial consumer links MPI" >&2; exit 1; fi
  build-deb-consumers/serial/consumer >/dev/null
  cmake -S examples/consumer-mpi -B build-deb-consumers/mpi >/dev/null
  cmake --build build-deb-consumers/mpi >/dev/null
  OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 mpiexec --oversubscribe -n 2 build-deb-consumers/mpi/consumer-mpi >/dev/null
  cmake -S examples/frontdoor -B build-deb-consumers/frontdoor >/dev/null
  cmake --build build-deb-consumers/frontdoor >/dev/null
  build-deb-consumers/frontdoor/frontdoor >/dev/null
  mkdir -p build-deb-consumers/make
  make -s -C build-deb-consumers/make -f "$root/examples/consumer-make/Makefile"
  build-deb-consumers/make/consumer >/dev/null
  cmake -S examples/c-host -B build-deb-consumers/c-host -DCMAKE_DISABLE_FIND_PACKAGE_MPI=ON --no-warn-unused-cli >/dev/null
  cmake --build build-deb-consumers/c-host >/dev/null
  if needs_mpi build-deb-consumers/c-host/c-host; then echo "the C host links MPI" >&2; exit 1; fi
  build-deb-consumers/c-host/c-host >/dev/null
  if command -v gfortran >/dev/null; then
    cmake -S examples/fortran-host -B build-deb-consumers/fortran-host >/dev/null
    cmake --build build-deb-consumers/fortran-host >/dev/null
    build-deb-consumers/fortran-host/fortran-host >/dev/null
  fi
  if [ "$(qvl3d-solve --version)" != "qvl3d-solve $version" ]; then
    echo "the installed qvl3d-solve does not print 'qvl3d-solve $version'" >&2
    exit 1
  fi
  qvl3d-solve --grid 16 >/dev/null
  echo "Debian packages installed; the consumers and the C and Fortran hosts built and run against them"
fi

step "single-partition package and its consumer"
rm -rf build-clang/stage build-consumer-serial
cmake --install build-clang --prefix build-clang/stage >/dev/null
cmake -S examples/consumer -B build-consumer-serial -DCMAKE_PREFIX_PATH="$root/build-clang/stage" >/dev/null
cmake --build build-consumer-serial -j"$jobs" >/dev/null
LD_LIBRARY_PATH="$root/build-clang/stage/lib" build-consumer-serial/consumer >/dev/null
# Without MPI the package has no MPI component, and says so.
if cmake -S examples/consumer-mpi -B build-consumer-serial/mpi -DCMAKE_PREFIX_PATH="$root/build-clang/stage" \
  >build-consumer-serial/mpi.log 2>&1 || ! grep -q 'QVL3D_WITH_MPI=OFF' build-consumer-serial/mpi.log; then
  cat build-consumer-serial/mpi.log >&2
  echo "the serial package accepted COMPONENTS MPI or did not say why it refused it" >&2
  exit 1
fi
echo "all checks passed in $SECONDS s"
