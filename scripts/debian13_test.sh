#!/usr/bin/env bash
# Proves the README's commands on Debian 13 as a new user meets them: in a minimal trixie root,
# built with debootstrap from this machine's Debian mirror, a clone of this checkout's HEAD runs
# scripts/demo.sh, then the plain build with warnings as errors and the unit tests.
#
# Usage (as root): scripts/debian13_test.sh [ROOT]
# ROOT (default /var/cache/vorlin-speech/debian13) is kept between runs with the packages setup
# installed in it, and built again when missing; remove it to start from nothing. Runs on the
# same machine wait for each other.
set -euo pipefail
# Absolute and without links: the root's own processes are found by it.
root=$(realpath -m "${1:-/var/cache/vorlin-speech/debian13}")
cd "$(dirname "$0")/.."
suite=trixie
clone=/root/vorlin-speech

# Each step says when it began, so that a slow one shows in the log.
step() {
  echo "== $1 (at ${SECONDS} s)"
}

# The site of this machine's sources that serves SUITE, from apt's own reading of them.
apt_site() {
  apt-get indextargets --format '$(SITE) $(RELEASE) $(TARGET_OF)' |
    awk -v suite="$1" '$2 == suite && $3 == "deb" { print $1; exit }'
}

# apt's sources for the root: the suite, its updates and its security updates, from where this
# machine takes its own.
write_sources() {  # MIRROR SECURITY_MIRROR
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\nSigned-By: %s\n' \
    "$1" "$suite" "$suite" "$keyring"
  [ -z "$2" ] ||
    printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\nSigned-By: %s\n' \
      "$2" "$suite" "$keyring"
}

# Builds the root beside its place and moves it there only when whole, so that a root that
# exists is complete. ccache is the stage's own: it keeps compiling quick from one run to the next.
make_root() {
  local host_suite mirror
  host_suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$(apt_site "$host_suite")
  if [ -z "$mirror" ]; then
    echo "debian13_test: no Debian mirror for $host_suite in this machine's apt sources" >&2
    exit 1
  fi
  if ! command -v debootstrap >/dev/null; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      --no-install-recommends debootstrap; } ||
      { echo "debian13_test: installing debootstrap failed (see above)" >&2; exit 1; }
  fi
  step "debootstrap $suite from $mirror into $root"
  rm -rf --one-file-system "$root.new"
  if ! debootstrap --variant=minbase --include=ca-certificates,ccache "$suite" "$root.new" \
    "$mirror" >"$root.new.log"; then
    tail -n 20 "$root.new.log" >&2
    echo "debian13_test: debootstrap failed; its log is $root.new.log" >&2
    exit 1
  fi
  rm -f "$root.new/etc/apt/sources.list"
  write_sources "$mirror" "$(apt_site "$host_suite-security")" \
    >"$root.new/etc/apt/sources.list.d/debian.sources"
  mv "$root.new" "$root"
  rm -f "$root.new.log"
}

# What the machine knows of its network, again on every run, as it may have changed: the name
# server, and the extra certificate authorities a network that inspects TLS needs.
copy_network_settings() {
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  if [ -d /usr/local/share/ca-certificates ]; then
    cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
  fi
  local out
  out=$(in_root update-ca-certificates 2>&1) || { echo "$out" >&2; exit 1; }
}

mount_root() {
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount --make-rslave "$root/dev"
}

# Also after a failure: the root's own processes (a test's sound server) are ended first, as
# they would hold its mounts.
unmount_root() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2>/dev/null
  done
  for m in dev sys proc; do
    mountpoint -q "$root/$m" && { umount -R "$root/$m" || umount -R -l "$root/$m"; }
  done
  return 0
}

# Runs a command in the root with a clean environment; the machine's proxy and npm settings
# pass through, as a user there would have them.
in_root() {
  local pass=() v
  for v in $(compgen -e); do
    case $v in
      http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY | npm_config_*)
        pass+=("$v=${!v}") ;;
    esac
  done
  # CMake takes its compiler launcher from the environment when it configures a new build.
  [ ! -x "$root/usr/bin/ccache" ] ||
    pass+=(CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${pass[@]}" "$@"
}

run_stage() {
  step "clone $(git rev-parse --short HEAD) into the $suite root"
  rm -rf --one-file-system "$root$clone"
  git clone -q --no-hardlinks "$PWD" "$root$clone"
  step "$suite: scripts/demo.sh"
  in_root bash -c "cd $clone && bash scripts/demo.sh" | tee "$root/tmp/demo.out"
  check_transcript "$root/tmp/demo.out"
  step "$suite: plain build with warnings as errors, unit tests"
  in_root bash -c "cd $clone && cmake -S . -B build/ci -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null && cmake --build build/ci -j2 &&
    ctest --test-dir build/ci --output-on-failure -j2 -L unit"
}

# The recording's last line is the whole transcript; a build that dictates it badly fails here.
check_transcript() {
  local want='"And Mr. John Dashwood had then leisure to consider how much there might be'
  want+=' prudently in his power to do for them."'
  if [ "$(tail -n 1 "$1")" != "{\"text\":$want}" ]; then
    echo "debian13_test: the demo's transcript on $suite is not the recording's" >&2
    exit 1
  fi
}

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
[ -d "$root" ] || make_root
trap unmount_root EXIT
trap 'exit 130' INT TERM
mount_root
copy_network_settings
run_stage
step "$suite: passed"
