#!/usr/bin/env bash
# Installs what building and testing need, from Debian's archive. As root it
# installs what is missing; otherwise it prints the install line and stops.
set -euo pipefail

packages=(cmake make ninja-build g++ pkg-config ccache clang libgtest-dev libgmock-dev libbenchmark-dev clang-format openmpi-bin libopenmpi-dev libmetis-dev)
# The Python module (python/) for Debian's python3, and what its tests use.
packages+=(python3-dev pybind11-dev python3-numpy python3-scipy python3-pytest python3-mpi4py)
# The Debian packages: CPack's DEB generator (dpkg-shlibdeps, file) and lintian.
packages+=(dpkg-dev file lintian)
# The Fortran module of the C interface (capi/qvl3d.f90) and its example host.
packages+=(gfortran)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
