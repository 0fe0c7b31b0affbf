#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing;
# given package names, only those (scripts/demo.sh).
set -euo pipefail
packages=(cmake g++ clang libclang-rt-14-dev zlib1g-dev libdeflate-dev nettle-dev python3-cryptography python3-pytest python3-pexpect python3-pytest-xdist libgtest-dev mingw-w64
          libz-mingw-w64-dev wine64 zip unzip python3 p7zip-full libarchive-tools valgrind hyperfine tmux time
          gnuplot-nox strace osslsigncode openssl)
# The static Linux stubs (musl; zlib's and Nettle's source fetched with
# dpkg-dev), the arm64 one's cross-compiler and emulator, the man page lint
# and the Debian package.
packages+=(musl-tools dpkg-dev g++-aarch64-linux-gnu qemu-user-static mandoc file)
# The Debian 11 chroot the static stub is started in.
packages+=(debootstrap)
[ $# -gt 0 ] && packages=("$@")

# A mirror caught mid-sync fails one index now and then ("File has unexpected
# size"); apt then keeps the old lists, and the install below says whether
# what we need is really missing.
refresh_package_lists() {
  apt-get update -qq || echo "apt-get update reported errors; installing from the lists it has"
}
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  refresh_package_lists
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The shipped 32-bit Windows stub runs under Debian's 32-bit wine (wine32:i386).
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "Installing: wine wine32:i386"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture i386
  refresh_package_lists
  # Multi-Arch packages need the same version for both architectures. When the
  # security index of one architecture could not be fetched (a mirror mid-sync),
  # take wine and what it pulls in from the release itself, for both.
  if ! apt-get install -y -qq --no-install-recommends wine wine32:i386; then
    release_only=$(mktemp)
    printf 'Package: *\nPin: release n=bookworm\nPin-Priority: 1001\n' > "$release_only"
    apt-get install -y -qq --no-install-recommends --allow-downgrades -o Dir::Etc::Preferences="$release_only" \
      wine wine64 wine32:i386
    rm -f "$release_only"
  fi
fi
