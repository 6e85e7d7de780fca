#!/usr/bin/env bash
# Installs the Debian packages that are missing, and says which. By default
# what the build and the test suite need; flags choose less or more:
#   scripts/deps.sh              build and tests
#   scripts/deps.sh --build      the build only (compiler, CMake, zlib, htslib)
#   scripts/deps.sh --example    the build and samtools, for scripts/example.sh
#   scripts/deps.sh --bench      also the benchmarks' needs (Google Benchmark, bwa)
#   scripts/deps.sh --fuzz       also clang, for the fuzz targets
#   scripts/deps.sh --validate   also Picard and Java, for scripts/validate-sam.sh
#   scripts/deps.sh --arm64      also the aarch64 cross compiler, qemu and arm64 libraries
#   scripts/deps.sh --cluster    also SLURM and munge, for the workflow's SLURM test
# Runs as root, or through sudo for another user.
set -euo pipefail
build=(cmake g++ make pkg-config zlib1g-dev libhts-dev)
tests=(libgtest-dev samtools python3-pysam python3 python3-dev python3-venv python3-setuptools python3-wheel python3-pytest pybind11-dev
       snakemake)
pkgs=("${build[@]}" "${tests[@]}")
arm64=0
for flag in "$@"; do
  case "$flag" in
    --build) pkgs=("${build[@]}") ;;
    --example) pkgs=("${build[@]}" samtools) ;;
    --bench) pkgs+=(libbenchmark-dev bwa) ;;
    --fuzz) pkgs+=(clang) ;;
    --validate) pkgs+=(picard-tools default-jre-headless) ;;
    --cluster) pkgs+=(slurmctld slurmd slurm-client munge) ;;
    --arm64) arm64=1 pkgs+=(gcc-aarch64-linux-gnu g++-aarch64-linux-gnu qemu-user libsimde-dev
                          zlib1g-dev:arm64 libgtest-dev:arm64) ;;
    *) echo "usage: scripts/deps.sh [--build] [--example] [--bench] [--fuzz] [--validate] [--arm64] [--cluster]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${pkgs[@]}"; do
  # (dpkg-query, unlike dpkg -s, accepts a name installed for two architectures)
  dpkg-query -W -f='${db:Status-Abbrev}\n' "$p" 2>/dev/null | grep -q '^ii' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: missing ${missing[*]}; run as root or install sudo" >&2; exit 1; }
  SUDO="sudo"
fi
echo "deps.sh: installing ${missing[*]}" >&2
if [ $arm64 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
