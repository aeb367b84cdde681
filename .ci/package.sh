#!/bin/sh
# The Debian package: builds it with `make package PACKAGE_BUILD=${PACKAGE_BUILD:-build-package}`, installs it with dpkg
# into a scratch root (the machine's own package database is not touched; the
# package has no maintainer scripts), checks its file list, its computed
# dependencies and its conffile, and rates the installed unit's sandbox with
# systemd-analyze: exposure 2.5 or lower.
set -eu
cd "$(dirname "$0")/.."

need=""
for pkg in cmake make g++ dpkg-dev systemd; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need="$need $pkg"
done
if [ -n "$need" ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $need
fi

make package PACKAGE_BUILD=${PACKAGE_BUILD:-build-package}
deb=$(ls -t "${PACKAGE_BUILD:-build-package}"/ferrule_*.deb | head -n 1)
echo "== $deb"
dpkg-deb --info "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
# The scratch root has no libc6 to satisfy the dependencies with.
install_deb() {
    dpkg --root="$root" --log=/dev/null --force-not-root --force-depends "$@" -i "$deb"
}
install_deb

status=0
fail() {
    echo "FAIL: $1"
    status=1
}

cat >"$root/expected" <<'LIST'
/etc
/etc/ferrule
/etc/ferrule/ferrule.cfg
/usr
/usr/bin
/usr/bin/ferrule
/usr/bin/ferrule_sim_peer
/usr/bin/ferrule_sim_repeater
/usr/lib
/usr/lib/systemd
/usr/lib/systemd/system
/usr/lib/systemd/system/ferrule.service
/usr/share
/usr/share/man
/usr/share/man/man8
/usr/share/man/man8/ferrule.8.gz
LIST
dpkg-query --admindir="$root/var/lib/dpkg" -L ferrule | LC_ALL=C sort >"$root/installed"
diff -u "$root/expected" "$root/installed" || fail "file list"

depends=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Depends}' ferrule)
echo "Depends: $depends"
case "$depends" in
*libc6*libstdc++6*) ;;
*) fail "dependencies not computed" ;;
esac
case "$depends" in
*libmicrohttpd12*) ;;
*) fail "the status page's libmicrohttpd12 is not among the dependencies" ;;
esac
case "$depends" in
*libmosquitto1*) ;;
*) fail "the MQTT client's libmosquitto1 is not among the dependencies" ;;
esac
dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Conffiles}\n' ferrule |
    grep -q '^ /etc/ferrule/ferrule.cfg ' || fail "ferrule.cfg is not a conffile"

[ "$("$root/usr/bin/ferrule" --version)" = "ferrule $(sed -n 's/^project(ferrule VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] ||
    fail "installed ferrule --version"
grep -q '^ExecStart=/usr/bin/ferrule /etc/ferrule/ferrule.cfg$' \
    "$root/usr/lib/systemd/system/ferrule.service" || fail "unit's ExecStart"

# An edited configuration survives reinstalling the package.
echo "# edited by the operator" >>"$root/etc/ferrule/ferrule.cfg"
install_deb --force-confold
grep -q '^# edited by the operator$' "$root/etc/ferrule/ferrule.cfg" ||
    fail "reinstalling replaced an edited ferrule.cfg"

# Exposure is rated 0.0-10.0; the threshold is given in tenths.
systemd-analyze security --offline=yes "$root/usr/lib/systemd/system/ferrule.service" | tail -n 1
systemd-analyze security --offline=yes --threshold=25 \
    "$root/usr/lib/systemd/system/ferrule.service" >/dev/null || fail "unit's exposure above 2.5"

[ "$status" -eq 0 ] && echo "package checks passed"
exit "$status"
