# The Debian packages the project needs, and an idempotent installer for them.
# Sourced by scripts/test, scripts/demo and scripts/bench.

VELMORA_PACKAGES=(
  # builds
  cmake ninja-build g++ gcc-multilib clang libclang-rt-14-dev zlib1g-dev libgtest-dev googletest
  g++-mingw-w64-i686 libz-mingw-w64-dev binutils-mingw-w64-i686
  # package signatures: libcrypto on the host build, the openssl command at configure time (to
  # read a release key) and in the tests (to make keys)
  libssl-dev openssl
  # running Windows programs: Wine, a virtual display, screenshots; qemu-user where the kernel
  # cannot run 32-bit code itself
  wine wine32:i386 wine64 xvfb imagemagick qemu-user-static
  # servers, archivers and network tools of the tests and benchmarks; mount and chattr for the
  # full-disk and read-only cases
  python3 nginx-light curl zip unzip p7zip-full libarchive-tools iproute2 procps mount e2fsprogs
  # benchmarks: GNU time for peak memory
  time
  # more ZIP producers of the conformance driver: Java's jar, Node (its library comes from the
  # npm registry at test time)
  openjdk-17-jdk-headless nodejs
  # release: Authenticode signing and the test certificates of its test; publishing to
  # S3-compatible object storage (the local store of its tests comes from the npm registry)
  osslsigncode openssl awscli
  # the host tools' HTTPS and proxy client (libcurl over OpenSSL); the tests' proxy and the
  # rule that leaves it the only way out of their network namespace
  libcurl4-openssl-dev tinyproxy iptables
)
# npm: Debian's package, unless the nodejs in place brings its own npm (a nodejs from elsewhere
# conflicts with Debian's npm).
if ! command -v npm >/dev/null 2>&1; then
  VELMORA_PACKAGES+=(npm)
fi

velmora_install_packages() {
  local missing=()
  local package
  for package in "${VELMORA_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "installing: ${missing[*]}" >&2
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}
