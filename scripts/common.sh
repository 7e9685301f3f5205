# Shared set-up of scripts/run and scripts/test: installs the Debian packages
# the build needs (only those missing), then configures and builds a tree.
# Sourced, not run.

KELVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KELVANE_JOBS=${KELVANE_JOBS:-$(nproc 2>/dev/null || echo 2)}
export KELVANE_JOBS

# Packages needed to build and run the library and its host.
KELVANE_BUILD_PACKAGES=(cmake make g++ pkg-config libxerces-c-dev ccache nlohmann-json3-dev libpugixml-dev)
# Further packages needed by the test suites, fuzzing and benchmarks.
KELVANE_TEST_PACKAGES=(googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev util-linux procps btrfs-progs
                       libtinyxml2-dev python3 python3-psutil)
# The programs the fleet tests drive (scripts/test-fleets): promtool,
# node_exporter, ansible-playbook and ansible-doc.
KELVANE_FLEET_PACKAGES=(prometheus prometheus-node-exporter ansible-core)

kelvane_log() { printf '==> %s\n' "$*" >&2; }

# Every CMake configure started from these scripts (ours, the fuzzer's, the
# Windows cross builds and Xerces-C++ for Windows) compiles through ccache
# when it is there, so repeated runs on one machine rebuild little.
kelvane_use_ccache() {
  if command -v ccache >/dev/null 2>&1; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    # Paths below the tree are hashed relative to it, so another clone of
    # the same sources (a CI checkout, say) finds the same entries.
    export CCACHE_BASEDIR="$KELVANE_ROOT" CCACHE_NOHASHDIR=1
  fi
}

# kelvane_install PACKAGE... — installs whichever of the packages are missing.
# The package lists are refreshed once per run (the scripts that one run
# starts see the mark in their environment). Another apt or dpkg at work on
# the machine is waited for (up to ten minutes) instead of failing the run.
kelvane_install() {
  local missing=() pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  kelvane_log "installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  if [ -z "${KELVANE_APT_UPDATED:-}" ]; then
    "${sudo[@]}" apt-get update -qq -o DPkg::Lock::Timeout=600
    export KELVANE_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}" >/dev/null
}

# kelvane_install_programs PACKAGE... — kelvane_install for packages wanted
# for their programs only, though some of them bring a daemon (Prometheus,
# node_exporter): while they are installed, a policy-rc.d of our own (when
# the machine has none) refuses every service start, and the services of
# the packages this call installed are disabled afterwards. Installing test
# tools leaves no server listening, now or after a reboot.
kelvane_install_programs() {
  local new=() pkg sudo=() policy=/usr/sbin/policy-rc.d ours=0 status=0
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      new+=("$pkg")
    fi
  done
  [ ${#new[@]} -eq 0 ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# kelvane: no service starts while test tools are installed\nexit 101\n' |
      "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
    ours=1
  fi
  kelvane_install "${new[@]}" || status=$?
  [ "$ours" -eq 1 ] && "${sudo[@]}" rm -f "$policy"
  [ "$status" -eq 0 ] || return "$status"
  if command -v systemctl >/dev/null 2>&1; then
    local units=()
    mapfile -t units < <(dpkg-query -L "${new[@]}" 2>/dev/null |
                         grep -E '^/(usr/)?lib/systemd/system/[^/]+\.(service|socket|timer)$' |
                         sed 's|.*/||' | sort -u)
    if [ ${#units[@]} -gt 0 ]; then
      kelvane_log "disabling ${units[*]} (installed for their programs only)"
      "${sudo[@]}" systemctl disable --quiet "${units[@]}" >/dev/null 2>&1 || true
    fi
  fi
}

# kelvane_xerces_stamp — names the local changes made to Debian's xerces-c
# source (scripts/xerces/*.patch). The Xerces caches keep it in their .done
# file, and a cache made with other changes is made again.
kelvane_xerces_stamp() {
  cat "$KELVANE_ROOT"/scripts/xerces/*.patch | sha256sum | cut -c1-16
}

# kelvane_fetch_source PACKAGE CACHE — Debian's source package PACKAGE,
# unpacked into CACHE/tree (CACHE is emptied first). The Debian source
# entries are enabled for the suites the machine already uses, in a file of
# their own, when no source entries are configured.
kelvane_fetch_source() {
  local package=$1 cache=$2 sudo=() dir
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  kelvane_install dpkg-dev
  if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx Sources; then
    kelvane_log "enabling Debian source entries"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        "${sudo[@]}" tee /etc/apt/sources.list.d/kelvane-deb-src.sources >/dev/null
    else
      grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
        "${sudo[@]}" tee /etc/apt/sources.list.d/kelvane-deb-src.list >/dev/null
    fi
    "${sudo[@]}" apt-get update -qq -o DPkg::Lock::Timeout=600
  fi
  kelvane_log "fetching the $package source package"
  rm -rf "$cache"
  mkdir -p "$cache"
  (cd "$cache" && apt-get source -qq "$package" >/dev/null 2>&1)
  for dir in "$cache/$package"-*/; do
    [ -d "$dir" ] && mv "$dir" "$cache/tree"
    break
  done
  [ -d "$cache/tree" ] || { echo "$package source not unpacked" >&2; return 1; }
}

# kelvane_xerces_source — Debian's xerces-c source package, fetched once per
# clone into build/xerces-source/tree, with the patches of scripts/xerces
# applied in name order. Both the Linux and the MinGW static builds of
# Xerces-C++ compile from it. Sets KELVANE_XERCES_SOURCE to the unpacked
# tree.
kelvane_xerces_source() {
  local cache=$KELVANE_ROOT/build/xerces-source stamp change
  KELVANE_XERCES_SOURCE=$cache/tree
  stamp=$(kelvane_xerces_stamp)
  [ "$(cat "$cache/.done" 2>/dev/null)" = "$stamp" ] && return 0
  kelvane_fetch_source xerces-c "$cache"
  [ -f "$cache/tree/CMakeLists.txt" ] || { echo "xerces-c source not unpacked" >&2; return 1; }
  for change in "$KELVANE_ROOT"/scripts/xerces/*.patch; do
    patch -s -p1 -d "$cache/tree" <"$change" || { echo "cannot apply $change" >&2; return 1; }
  done
  echo "$stamp" >"$cache/.done"
}

# kelvane_pugixml_source — Debian's pugixml source package, fetched once per
# clone into build/pugixml-source/tree; the MinGW builds of pugixml compile
# from it (scripts/windows/build-pugixml). Sets KELVANE_PUGIXML_SOURCE to the
# unpacked tree.
kelvane_pugixml_source() {
  local cache=$KELVANE_ROOT/build/pugixml-source
  KELVANE_PUGIXML_SOURCE=$cache/tree
  [ -f "$cache/.done" ] && return 0
  kelvane_fetch_source pugixml "$cache"
  [ -f "$cache/tree/src/pugixml.cpp" ] || { echo "pugixml source not unpacked" >&2; return 1; }
  touch "$cache/.done"
}

# kelvane_build PRESET [CMAKE ARGS...] — configures and builds the tree of
# the configure and build presets PRESET (CMakePresets.json: the build
# variants, each in its own build directory); the CMAKE ARGS go on top of
# the preset. Native builds link the static Xerces-C++ of
# scripts/build-xerces-linux (built once per clone); the Windows cross
# builds (presets win32, win64) find theirs through their toolchain file.
kelvane_build() {
  local preset=$1 xerces=()
  shift
  case "$preset" in
    win32|win64) ;;
    *)
      "$KELVANE_ROOT/scripts/build-xerces-linux"
      xerces=(-DKELVANE_XERCES_PREFIX="$KELVANE_ROOT/build/xerces-linux/install")
      ;;
  esac
  kelvane_log "building the $preset preset"
  (cd "$KELVANE_ROOT" &&
    cmake --preset "$preset" "${xerces[@]}" "$@" >/dev/null &&
    cmake --build --preset "$preset" -j "$KELVANE_JOBS" -- --no-print-directory >/dev/null)
}
