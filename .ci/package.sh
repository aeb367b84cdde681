#!/bin/sh
# The Debian package: builds it with `make package PACKAGE_BUILD=${PACKAGE_BUILD:-build-package}`, installs it with dpkg
# into a scratch root (the machine's own package database is not touched; the
# package has no maintainer scripts), checks its file list, its computed
# dependencies, its conffile and who may read it, and rates the installed
# unit's sandbox with systemd-analyze: exposure 1.1 or lower.
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
dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Conffiles}\n' ferrule |
    grep -q '^ /etc/ferrule/ferrule.cfg ' || fail "ferrule.cfg is not a conffile"

[ "$("$root/usr/bin/ferrule" --version)" = "ferrule $(sed -n 's/^project(ferrule VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] ||
    fail "installed ferrule --version"
unit="$root/usr/lib/systemd/system/ferrule.service"
# The configuration will hold the master's password: root alone reads it, in
# the package and once installed, and the service reads the copy systemd
# hands it.
dpkg-deb -c "$deb" | grep '^-rw------- root/root .* \./etc/ferrule/ferrule\.cfg$' >/dev/null ||
    fail "ferrule.cfg in the package is not -rw------- root/root"
[ "$(stat -c %a "$root/etc/ferrule/ferrule.cfg")" = 600 ] || fail "installed ferrule.cfg not mode 600"
grep -q '^LoadCredential=ferrule.cfg:/etc/ferrule/ferrule.cfg$' "$unit" ||
    fail "unit's LoadCredential"
grep -q '^ExecStart=/usr/bin/ferrule %d/ferrule.cfg$' "$unit" || fail "unit's ExecStart"
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    # Another local user is refused, and so is the daemon run by hand as one:
    # it stops instead of running on the defaults. (The scratch root itself
    # is opened to them, so that only the file's own mode is tested.)
    chmod 755 "$root"
    if setpriv --reuid=65534 --regid=65534 --clear-groups cat "$root/etc/ferrule/ferrule.cfg" \
        >/dev/null 2>&1; then
        fail "another user can read ferrule.cfg"
    fi
    out=$(timeout 5 setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$root/usr/bin/ferrule" "$root/etc/ferrule/ferrule.cfg" 2>&1) &&
        fail "ferrule ran on a file it cannot read"
    echo "$out" | grep -q "Cannot read the configuration file .*(Permission denied); ferrule stops" ||
        fail "ferrule did not name the file it cannot read: $out"
fi

# An edited configuration survives reinstalling the package.
echo "# edited by the operator" >>"$root/etc/ferrule/ferrule.cfg"
install_deb --force-confold
grep -q '^# edited by the operator$' "$root/etc/ferrule/ferrule.cfg" ||
    fail "reinstalling replaced an edited ferrule.cfg"

# Exposure is rated 0.0-10.0; the threshold is given in tenths.
systemd-analyze security --offline=yes "$unit" | tail -n 1
systemd-analyze security --offline=yes --threshold=11 "$unit" >/dev/null ||
    fail "unit's exposure above 1.1"

[ "$status" -eq 0 ] && echo "package checks passed"
exit "$status"
