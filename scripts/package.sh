#!/usr/bin/env bash
# Builds the Debian packages from the existing build tree (build/, or $CORVEX_BUILD_DIR) into
# dist/ (or $CORVEX_DIST_DIR): corvex-management (the service, its tools, the relay, the units of
# the service, the messaging server and the relay) and corvex-web (the web console). It builds
# nothing itself: run scripts/build.sh first. The version is $CORVEX_PACKAGE_VERSION, else the
# project's version with the number of commits. lintian runs when installed; its errors fail.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVEX_BUILD_DIR:-$root/build}
dist=${CORVEX_DIST_DIR:-$root/dist}
base_version=$(sed -n 's/^project(corvex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
commits=$(git -C "$root" rev-list --count HEAD 2>/dev/null || echo 0)
version=${CORVEX_PACKAGE_VERSION:-$base_version.$commits}
arch=$(dpkg --print-architecture)

need() {
    [ -x "$build/$1" ] || { echo "package: $build/$1 is missing: build first (scripts/build.sh)" >&2; exit 1; }
}
for f in managementservice/rudadiz platform/network/corvex-netquery tools/relay/corvex-relay tools/corvexctl/corvexctl \
         tools/corvex-db/corvex-db tools/corvex-nats/corvex-nats web/corvex-web; do
    need "$f"
done
for tool in dpkg-deb dpkg-shlibdeps fakeroot; do
    command -v "$tool" >/dev/null || { echo "package: $tool is missing (apt-get install dpkg-dev fakeroot)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$dist"

# A copy without the debugging sections: the packages carry programs, not their build.
put() {  # put SOURCE DEST MODE
    install -D -m "$3" "$1" "$2"
    case "$3" in 0755) strip --strip-unneeded --remove-section=.comment --remove-section=.note "$2" ;; esac
}

# Maintainer scripts: #DEBHELPER# becomes enabling (and, under systemd, restarting) the units.
script() {  # script PACKAGE NAME DEST UNITS...
    local package=$1 name=$2 dest=$3
    shift 3
    local snippet=""
    if [ "$name" = postinst ] && [ $# -gt 0 ]; then
        snippet="if [ \"\$1\" = configure ] || [ \"\$1\" = abort-upgrade ]; then
    for unit in $*; do
        deb-systemd-helper unmask \"\$unit\" >/dev/null || true
        deb-systemd-helper enable \"\$unit\" >/dev/null || true
    done
    if [ -d /run/systemd/system ]; then
        systemctl --system daemon-reload >/dev/null || true
        deb-systemd-invoke restart $* >/dev/null || true
    fi
fi"
    fi
    awk -v s="$snippet" '$0 == "#DEBHELPER#" { if (s != "") print s; next } { print }' \
        "$root/packaging/debian/$package.$name" >"$dest/DEBIAN/$name"
    chmod 0755 "$dest/DEBIAN/$name"
}

docs() {  # docs PACKAGE DEST
    install -D -m 0644 "$root/packaging/debian/copyright" "$2/usr/share/doc/$1/copyright"
    printf '%s (%s) unstable; urgency=medium\n\n  * Built from commit %s.\n\n -- Corvex builders <builders@corvex.invalid>  %s\n' \
        "$1" "$version" "$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)" "$(date -R)" |
        gzip -9n >"$2/usr/share/doc/$1/changelog.gz"
    chmod 0644 "$2/usr/share/doc/$1/changelog.gz"
}

shlibs() {  # shlibs BINARY... : the Depends of their libraries
    mkdir -p "$work/shlibs/debian"
    printf 'Source: corvex\n\nPackage: corvex\nArchitecture: any\n' >"$work/shlibs/debian/control"
    (cd "$work/shlibs" && dpkg-shlibdeps -O "$@" 2>/dev/null) | sed -n 's/^shlibs:Depends=//p'
}

control() {  # control PACKAGE DEST DEPENDS RECOMMENDS DESCRIPTION
    local size
    size=$(du -sk --exclude=DEBIAN "$2" | cut -f1)
    {
        echo "Package: $1"
        echo "Version: $version"
        echo "Architecture: $arch"
        echo "Maintainer: Corvex builders <builders@corvex.invalid>"
        echo "Installed-Size: $size"
        echo "Depends: $3"
        [ -n "$4" ] && echo "Recommends: $4"
        echo "Section: admin"
        echo "Priority: optional"
        echo "Description: $5"
    } >"$2/DEBIAN/control"
}

# ---- corvex-management ----------------------------------------------------------------------
m=$work/corvex-management
mkdir -p "$m/DEBIAN"
put "$build/managementservice/rudadiz" "$m/usr/lib/corvex/rudadiz" 0755
put "$root/resources/rudadiz.tlb" "$m/usr/lib/corvex/rudadiz.tlb" 0644
put "$build/platform/network/corvex-netquery" "$m/usr/lib/corvex/corvex-netquery" 0755
put "$build/tools/relay/corvex-relay" "$m/usr/lib/corvex/corvex-relay" 0755
put "$build/tools/corvexctl/corvexctl" "$m/usr/bin/corvexctl" 0755
put "$build/tools/corvex-db/corvex-db" "$m/usr/bin/corvex-db" 0755
put "$build/tools/corvex-nats/corvex-nats" "$m/usr/bin/corvex-nats" 0755
units="corvex-messaging.service corvex-relay.service corvex-management-service.service"
for u in $units; do
    put "$root/packaging/systemd/$u" "$m/lib/systemd/system/$u" 0644
done
put "$root/packaging/etc/registry.reg" "$m/etc/corvex/registry.reg" 0644
echo /etc/corvex/registry.reg >"$m/DEBIAN/conffiles"
docs corvex-management "$m"
for s in postinst prerm postrm; do script corvex-management $s "$m" $units; done
deps=$(shlibs "$m"/usr/lib/corvex/rudadiz "$m"/usr/lib/corvex/corvex-netquery "$m"/usr/lib/corvex/corvex-relay \
                "$m"/usr/bin/corvexctl "$m"/usr/bin/corvex-db "$m"/usr/bin/corvex-nats)
control corvex-management "$m" "$deps, nats-server, adduser, passwd" "postgresql (>= 15)" \
    "Corvex anti-virus management service
 The management service of the anti-virus console with its tools: the console's
 command line (corvexctl), the database tool (corvex-db), the messaging
 location's tool (corvex-nats) and the relay beside the messaging server, with
 systemd units for the service, the messaging server and the relay."

# ---- corvex-web -----------------------------------------------------------------------------
w=$work/corvex-web
mkdir -p "$w/DEBIAN"
put "$build/web/corvex-web" "$w/usr/lib/corvex/corvex-web" 0755
put "$root/packaging/systemd/corvex-web.service" "$w/lib/systemd/system/corvex-web.service" 0644
put "$root/packaging/pam/corvex-web" "$w/etc/pam.d/corvex-web" 0644
echo /etc/pam.d/corvex-web >"$w/DEBIAN/conffiles"
docs corvex-web "$w"
for s in postinst prerm postrm; do script corvex-web $s "$w" corvex-web.service; done
deps=$(shlibs "$w"/usr/lib/corvex/corvex-web)
control corvex-web "$w" "$deps, corvex-management (= $version), libpam-runtime" "" \
    "Corvex anti-virus web console
 The console of the management service over HTTPS, for the console
 administrators group, with its systemd unit and PAM service."

for p in corvex-management corvex-web; do
    fakeroot dpkg-deb -Zxz --build "$work/$p" "$dist/${p}_${version}_${arch}.deb" >/dev/null
    echo "package: $dist/${p}_${version}_${arch}.deb"
done

if command -v lintian >/dev/null; then
    lintian --fail-on error --suppress-tags-from-file "$root/packaging/lintian-overrides" \
        "$dist/corvex-management_${version}_${arch}.deb" "$dist/corvex-web_${version}_${arch}.deb"
else
    echo "package: lintian is not installed; the packages were not checked" >&2
fi
