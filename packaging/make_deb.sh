#!/bin/sh
# Builds the Debian package from a configured and built tree:
#   packaging/make_deb.sh <build dir> <output dir>
# Environment: ZQ_PREFIX (stack folder, /opt/zqstack), ZQ_PROJECTS (projects
# root, /var/lib/zqstack), ZQ_DEB_COMPRESS (dpkg-deb's -Z, xz). Prints the
# path of the .deb it wrote.
set -eu

build=${1:?usage: make_deb.sh <build dir> <output dir>}
out=${2:?usage: make_deb.sh <build dir> <output dir>}
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
prefix=${ZQ_PREFIX:-/opt/zqstack}
projects=${ZQ_PROJECTS:-/var/lib/zqstack}
version=$(head -n 1 "$src/VERSION")
arch=$(dpkg --print-architecture)

mkdir -p "$out"
stage=$(mktemp -d "$out/zqstack-deb.XXXXXX")
chmod 0755 "$stage"
trap 'rm -rf "$stage"' EXIT INT TERM

DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" --strip >/dev/null

subst() {
    sed -e "s|@PREFIX@|$prefix|g" -e "s|@PROJECTS@|$projects|g" -e "s|@VERSION@|$version|g" \
        -e "s|@ARCH@|$arch|g" -e "s|@DEPENDS@|${depends:-}|g" "$1"
}

install -d -m 0755 "$stage/lib/systemd/system" "$stage/etc/default" "$stage$projects" \
    "$stage/usr/share/doc/zqstack" "$stage/DEBIAN"
subst "$here/zqstack@.service.in" >"$stage/lib/systemd/system/zqstack@.service"
subst "$here/zqstack.default" >"$stage/etc/default/zqstack"
install -m 0644 "$src/README.md" "$stage/usr/share/doc/zqstack/README.md"
chmod 0644 "$stage/lib/systemd/system/zqstack@.service" "$stage/etc/default/zqstack"

# Shared libraries the programs link, as dpkg knows them; then the tools the
# stack runs as child processes.
shl=$(mktemp -d)
mkdir -p "$shl/debian"
printf 'Source: zqstack\n\nPackage: zqstack\nArchitecture: any\n' >"$shl/debian/control"
bins=$(find "$stage$prefix" -maxdepth 1 -type f -perm -u+x | sort)
# shellcheck disable=SC2086
libdeps=$(cd "$shl" && dpkg-shlibdeps -O --ignore-missing-info -e $bins 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
rm -rf "$shl"
[ -n "$libdeps" ] || { echo "make_deb: dpkg-shlibdeps found no libraries" >&2; exit 1; }
depends="$libdeps, passwd, tar, curl, zip, unzip, util-linux, systemd"

subst "$here/deb/control.in" >"$stage/DEBIAN/control"
for f in postinst prerm postrm; do
    subst "$here/deb/$f" >"$stage/DEBIAN/$f"
    chmod 0755 "$stage/DEBIAN/$f"
done
echo /etc/default/zqstack >"$stage/DEBIAN/conffiles"

deb="$out/zqstack_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Z"${ZQ_DEB_COMPRESS:-xz}" --build "$stage" "$deb" >/dev/null
echo "$deb"
