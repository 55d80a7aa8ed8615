#!/usr/bin/env bash
# Installs kel-safe into a temporary prefix and uses it the way its users
# will: a standalone CMake project with find_package(kel-safe CONFIG), the
# same program built with pkg-config, the installed tool and manual page.
# Then builds the Debian package with CPack and checks what it holds.
#   .ci/install-check.sh [BUILD-DIR]     (default: build-install; an existing
#   build is reused)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-install}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

step() { echo "-- $*"; }
die() { echo "install-check: $*" >&2; exit 1; }

# Configured for /usr, as a distribution would, so that the package below
# gets the multiarch library directory; installed into a temporary prefix.
# A build that is already there (CI's normal build, tests and all) is only
# pointed at /usr: the prefix changes no object file, so nothing is compiled
# twice; its tests are not installed.
step "configure and build in $build"
if [ -f "$build/CMakeCache.txt" ]; then
  # Configured again from the source it was made from (CI's private copy).
  source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
  cmake -S "${source_dir:-.}" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >"$work/configure.log" ||
    { cat "$work/configure.log"; die "configure failed"; }
else
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DKEL_SAFE_BUILD_TESTS=OFF >"$work/configure.log" ||
    { cat "$work/configure.log"; die "configure failed"; }
fi
cmake --build "$build" -j"$jobs"

prefix=$work/prefix
step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$libdir" ] || die "no CMAKE_INSTALL_LIBDIR in the cache"

step "check the installed files"
for f in "$libdir/libkel-safe.so.1.0.0" "$libdir/libkel-safe.so.1" "$libdir/libkel-safe.so" \
         include/kel/safe.h include/kel/entry.h include/kel/export.h include/kel/progress.h \
         include/kel/store.h include/kel/item.h include/kel/safe_entry.h include/kel/diagnostics.h \
         include/kel/status.h include/kel/file_lock.h include/kel/store_files.h \
         include/kel/backup_aside.h include/kel/kel.h \
         "$libdir/cmake/kel-safe/kel-safe-config.cmake" \
         "$libdir/cmake/kel-safe/kel-safe-config-version.cmake" \
         "$libdir/pkgconfig/kel-safe.pc" bin/kel-safe share/man/man1/kel-safe.1 \
         share/bash-completion/completions/kel-safe share/zsh/vendor-completions/_kel-safe \
         share/fish/vendor_completions.d/kel-safe.fish \
         share/doc/kel-safe/copyright share/doc/kel-safe/LICENSE; do
  [ -e "$prefix/$f" ] || die "missing after install: $f"
done
# SONAME chain: libkel-safe.so -> libkel-safe.so.1 -> libkel-safe.so.1.0.0
[ "$(readlink "$prefix/$libdir/libkel-safe.so")" = libkel-safe.so.1 ] ||
  die "libkel-safe.so does not point at libkel-safe.so.1"
[ "$(readlink "$prefix/$libdir/libkel-safe.so.1")" = libkel-safe.so.1.0.0 ] ||
  die "libkel-safe.so.1 does not point at libkel-safe.so.1.0.0"
[ "$(objdump -p "$prefix/$libdir/libkel-safe.so.1.0.0" | awk '$1 == "SONAME" { print $2 }')" = libkel-safe.so.1 ] ||
  die "the library's SONAME is not libkel-safe.so.1"
# Of the library's own code only its five classes and the free calls that
# include/kel/ declares are exported: the diagnostic sink and the failure
# cause, the status names, the file locks, the store file names and the
# backups set aside.
exported=$(nm -D --defined-only "$prefix/$libdir/libkel-safe.so.1" | c++filt |
           grep ' kel::' |
           grep -v ' kel::\(Safe\|Entry\|SafeEntry\|Store\|Item\)\b' |
           grep -v ' kel::\(set_diagnostics\|diagnostics_to_stderr\|last_system_error\)(' |
           grep -v ' kel::last_write_step(' |
           grep -v ' kel::\(status_name\|take_file_lock\|release_file_lock\|file_lock_conflicts\)(' |
           grep -v ' kel::\(store_file_path\|final_store_file\|store_backup_path\)(' |
           grep -v ' kel::\(set_backup_aside\|put_backup_back\|abandoned_backups\)(' |
           grep -v ' kel::\(generate_identity\|identity_public_key\|check_public_key\)(' || true)
[ -z "$exported" ] || { echo "$exported"; die "the library exports internal symbols"; }
# Of plain C names only the C interface's kel_ functions (kel/kel.h), in
# their own version nodes: KEL_SAFE_1.1, and KEL_SAFE_1.2 for the key slots'
# (named here one by one); the C++ symbols in KEL_SAFE_1.0.
versions=$(nm -D --defined-only --with-symbol-versions "$prefix/$libdir/libkel-safe.so.1" |
           awk '$2 ~ /^[TtDdBbRrVvWw]$/ { print $3 }')
slot_calls='kel_\(generate_identity\|identity_public_key\|check_public_key\|safe_use_identity\|safe_use_identity_file\|safe_use_key_file\|safe_grant_password\|safe_grant_key_file\|safe_grant_recipient\|safe_revoke_slot\|slots_open\|slots_count\|slots_index\|slots_kind\|slots_label\|slots_created\|slots_public_key\|slots_intact\|slots_opened_here\|slots_close\)'
stray=$(grep -v '^_Z' <<<"$versions" | grep -v '^kel_[a-z_]*@@KEL_SAFE_1\.1$' |
        grep -v "^$slot_calls@@KEL_SAFE_1\\.2\$" || true)
[ -z "$stray" ] || { echo "$stray"; die "C symbols outside the C interface's version node"; }
grep -q '^kel_safe_open@@KEL_SAFE_1\.1$' <<<"$versions" || die "kel_safe_open is not in KEL_SAFE_1.1"
[ "$(grep -c "^$slot_calls@@KEL_SAFE_1\\.2\$" <<<"$versions")" = 20 ] ||
  die "the key slots' C calls are not all in KEL_SAFE_1.2"
stray=$(grep '^_Z' <<<"$versions" | grep -v '@@KEL_SAFE_1\.0$' || true)
[ -z "$stray" ] || { echo "$stray"; die "C++ symbols outside KEL_SAFE_1.0"; }

step "the licence, by its SPDX identifier, in every kind of metadata"
grep -qx 'License: Apache-2.0' "$prefix/$libdir/pkgconfig/kel-safe.pc" || die "kel-safe.pc names no licence"
grep -q 'SPDX-License-Identifier: Apache-2.0' "$prefix/$libdir/cmake/kel-safe/kel-safe-config.cmake" ||
  die "the CMake package names no licence"
grep -qx 'License: Apache-2.0' "$prefix/share/doc/kel-safe/copyright" || die "the copyright file names no licence"
cmp -s "$root/LICENSE" "$prefix/share/doc/kel-safe/LICENSE" || die "the installed LICENSE differs"

step "the tool's library search path, built and installed"
# An empty or relative entry in a RUNPATH is read from the current
# directory: a libcrypto.so.3 planted wherever the tool is run from would be
# loaded. Every entry must be absolute or relative to the tool ($ORIGIN).
for tool in "$build/kel-safe" "$prefix/bin/kel-safe"; do
  runpath=$(objdump -p "$tool" | awk '$1 == "RUNPATH" || $1 == "RPATH" { print $2 }')
  [ -n "$runpath" ] || continue
  IFS=: read -r -a entries <<<"$runpath:"
  for entry in "${entries[@]}"; do
    case $entry in
      /* | '$ORIGIN' | '$ORIGIN/'*) ;;
      *) die "$tool searches the current directory for libraries (RUNPATH '$runpath')" ;;
    esac
  done
done

step "the installed tool and its manual page"
[ "$("$prefix/bin/kel-safe" version)" = "$(printf 'kel-safe 1.0.0\nlibkel-safe 1.0.0')" ] ||
  die "installed kel-safe version output is wrong"
if command -v man >/dev/null; then
  rendered=$(man -l "$prefix/share/man/man1/kel-safe.1" 2>/dev/null)
  [[ $rendered == *"EXIT STATUS"* ]] || die "the manual page does not render"
fi
(
  cd "$work"
  printf 'Install-Check-Passw0rd!\n' >pw
  chmod 600 pw
  export KEL_SAFE_STORE=$work/tool-store
  "$prefix/bin/kel-safe" -q --password-file pw create
  printf 'value' | "$prefix/bin/kel-safe" -q --password-file pw add name
  [ "$("$prefix/bin/kel-safe" --password-file pw get name)" = value ] ||
    die "installed tool round trip failed"
)

# Neither consumer may see the source or build tree.
cp -r "$root/examples/consumer" "$work/consumer"

step "consumer through find_package(kel-safe CONFIG)"
cmake -S "$work/consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer-configure.log" ||
  { cat "$work/consumer-configure.log"; die "consumer configure failed"; }
cmake --build "$work/consumer-cmake"
mkdir "$work/run-cmake"
"$work/consumer-cmake/kel-safe-consumer" "$work/run-cmake"
[[ $(ldd "$work/consumer-cmake/kel-safe-consumer") == *"$prefix/$libdir/libkel-safe.so.1"* ]] ||
  die "the CMake consumer did not use the installed library"

step "consumer through pkg-config"
[ "$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --modversion kel-safe)" = 1.0.0 ] ||
  die "pkg-config reports the wrong version"
PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" make -s -C "$work/consumer" kel-safe-consumer-pc
mkdir "$work/run-pc"
"$work/consumer/kel-safe-consumer-pc" "$work/run-pc"
[[ $(ldd "$work/consumer/kel-safe-consumer-pc") == *"$prefix/$libdir/libkel-safe.so.1"* ]] ||
  die "the pkg-config consumer did not use the installed library"

step "the README's PKG_CONFIG_PATH, against a build configured for the default prefix"
# The build above is configured for /usr, whose library directory is the
# multiarch one; the README's reader installs into a prefix of their own.
cmake -S . -B "$work/default-prefix" -DKEL_SAFE_BUILD_TESTS=OFF >"$work/default-configure.log" ||
  { cat "$work/default-configure.log"; die "configure for the default prefix failed"; }
default_libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$work/default-prefix/CMakeCache.txt")
grep -qF "PKG_CONFIG_PATH=PREFIX/$default_libdir/pkgconfig" README.md ||
  die "the README does not name PREFIX/$default_libdir/pkgconfig, where kel-safe.pc is installed"

step "the README's pkg-config commands, exactly as printed"
"$root/.ci/readme-check.sh" pkg-config "$prefix/$libdir/pkgconfig"

step "Debian package"
(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log") ||
  { cat "$work/cpack.log"; die "cpack failed"; }
deb=$(ls "$work"/package/kel-safe_1.0.0*_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { ls -l "$work/package"; die "no .deb was built"; }
dpkg-deb --info "$deb" >"$work/deb-info"
dpkg-deb --contents "$deb" >"$work/deb-contents"
for f in "usr/$libdir/libkel-safe.so.1.0.0" "usr/$libdir/libkel-safe.so.1 -> libkel-safe.so.1.0.0" \
         usr/include/kel/safe.h "usr/$libdir/cmake/kel-safe/kel-safe-config.cmake" \
         "usr/$libdir/pkgconfig/kel-safe.pc" usr/bin/kel-safe usr/share/man/man1/kel-safe.1 \
         usr/share/bash-completion/completions/kel-safe usr/share/zsh/vendor-completions/_kel-safe \
         usr/share/fish/vendor_completions.d/kel-safe.fish \
         usr/share/doc/kel-safe/copyright; do
  grep -qF "./$f" "$work/deb-contents" || { cat "$work/deb-contents"; die "the package lacks $f"; }
done
grep -q '^ Depends:.*libssl3' "$work/deb-info" || { cat "$work/deb-info"; die "the package does not depend on libssl3"; }
# The shell loads libedit at run time, out of dpkg-shlibdeps' sight.
grep -q '^ Depends:.*libedit2' "$work/deb-info" || { cat "$work/deb-info"; die "the package does not depend on libedit2"; }
# get --qr links libqrencode (LGPL-2.1+, dynamically): dpkg-shlibdeps names it.
grep -q '^ Depends:.*libqrencode4' "$work/deb-info" || { cat "$work/deb-info"; die "the package does not depend on libqrencode4"; }
grep -q 'License: Apache-2.0' "$work/deb-info" || { cat "$work/deb-info"; die "the package description names no licence"; }
# The packaged (stripped) tool runs from the unpacked tree, library beside it.
dpkg-deb -x "$deb" "$work/unpacked"
[ "$("$work/unpacked/usr/bin/kel-safe" version)" = "$(printf 'kel-safe 1.0.0\nlibkel-safe 1.0.0')" ] ||
  die "the packaged kel-safe does not run"
echo "install-check: $(basename "$deb") built; find_package, pkg-config and the tool all work"
