#!/usr/bin/env bash
# Tries the README's two commands where nothing is installed: makes a fresh
# Debian 12 root (debootstrap --variant=minbase bookworm), copies the
# project's tracked files into it, and runs tools/try.sh, then
# tools/test.sh, in it with chroot, timing each. /proc is mounted in the
# root; /dev/pts is not, as in a root made this way. Needs root, and
# Debian's package registry; installs debootstrap if it is missing. The
# root is removed at the end unless KEEP=1.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "$0: chroot and debootstrap need root" >&2; exit 1; }
. tools/packages.sh
install_missing debootstrap
mirror=${MIRROR:-http://deb.debian.org/debian}

root=$(mktemp -d /var/tmp/tapsum-root.XXXXXX)
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  [ "${KEEP:-0}" = 1 ] && echo "the root is kept in $root" || rm -rf "$root"
}
trap cleanup EXIT
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { tail "$root.debootstrap.log"; exit 1; }
rm -f "$root.debootstrap.log"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir "$root/tapsum"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$root/tapsum"
mount -t proc proc "$root/proc"

for step in try test; do
  start=$(date +%s)
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    /bin/bash -c "cd /tapsum && CI=true tools/$step.sh </dev/null"
  echo "tools/$step.sh in a fresh root: passed in $(($(date +%s) - start)) s"
done
