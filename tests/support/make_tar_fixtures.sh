#!/usr/bin/env bash
# Makes the tar.xz fixtures of the tests with the system's own GNU tar and xz, and for each archive the
# list of what tar itself extracts from it, so that the tests on both targets (Wine cannot run the
# host's tar) compare ExtractTarXz with tar.
#   make_tar_fixtures.sh OUT_DIR
# OUT_DIR/<name>.tar.xz      the archive
# OUT_DIR/<name>.expected    one line per file tar extracts, "<size> <sha256> <path>", sorted by path; a
#                            symbolic link counts as the file it leads to, when that is a file inside the
#                            extracted tree (links are copies for the launcher)
set -euo pipefail
out=$1
work=$out.work
rm -rf "$out" "$work"
mkdir -p "$out" "$work"
export LC_ALL=C

# ---- the source tree ------------------------------------------------------------------------------
src=$work/src
mkdir -p "$src/top/bin" "$src/top/lib/clang/19/include" "$src/top/empty-folder"
# Incompressible data larger than the reader's 4 MiB buffer and 1 MiB input chunks.
head -c 5000000 /dev/urandom >"$src/top/bin/big.bin"
printf 'int main() { return 0; }\n' >"$src/top/bin/tool.c"
printf '#!/bin/sh\necho hi\n' >"$src/top/bin/run.sh"
chmod 755 "$src/top/bin/run.sh"
: >"$src/top/lib/empty.txt"
seq 1 20000 >"$src/top/lib/clang/19/include/numbers.h"
# A name far beyond the 100 bytes of a header's name field; the last component stays below 100 so that
# ustar can split it into prefix and name.
deep=top/a-rather-long-folder-name-number-one/a-rather-long-folder-name-number-two/a-rather-long-folder-three
mkdir -p "$src/$deep"
printf 'deep file\n' >"$src/$deep/deep-file-with-a-long-name.txt"
# Hard link and symbolic links inside the tree.
ln "$src/top/bin/tool.c" "$src/top/bin/tool-hardlink.c"
ln -s tool.c "$src/top/bin/tool-symlink.c"
ln -s ../lib/clang/19/include/numbers.h "$src/top/bin/numbers-up-and-down.h"
ln -s ../../../bin/big.bin "$src/$deep/link-back-to-big.bin"
# Links that lead out of the tree, absolutely or upwards, and one to a folder.
ln -s /etc/hostname "$src/top/bin/absolute-link"
ln -s ../../outside.txt "$src/top/bin/leads-out"
ln -s ../lib "$src/top/bin/folder-link"
mkfifo "$src/top/bin/fifo"
# A link whose target's name is longer than the link-name field.
ln -s "${deep#top/}/deep-file-with-a-long-name.txt" "$src/top/long-link"

# ---- archives -----------------------------------------------------------------------------------
# list_expected DIR: what tar extracted into DIR, as the .expected lines.
list_expected() {
  local dir=$1 path real
  (cd "$dir" && find . \( -type f -o -type l \) | sed 's,^\./,,' | sort) | while IFS= read -r path; do
    real=$(realpath -e "$dir/$path" 2>/dev/null) || continue
    case $real in "$(realpath "$dir")"/*) ;; *) continue ;; esac
    [ -f "$real" ] || continue
    printf '%s %s %s\n' "$(stat -c %s "$real")" "$(sha256sum <"$real" | cut -d' ' -f1)" "$path"
  done
}

# The members in an order where every link comes after what it names: folders, files, fifos, links.
members() {
  (cd "$src" && for type in d f p l; do find top -type $type | sort; done)
}

# make NAME "XZ OPTIONS" "SED SCRIPT" TAR OPTIONS...: tar -c of the members (edited by the sed script)
# | xz, then tar -x into a fresh folder.
make() {
  local name=$1 xzopts=$2 edit=$3; shift 3
  members | sed -e "$edit" >"$work/list-$name"
  # shellcheck disable=SC2086
  (cd "$src" && tar -c --no-recursion -T "$work/list-$name" "$@") | xz -c $xzopts >"$out/$name.tar.xz"
  local x=$work/x-$name
  rm -rf "$x" && mkdir -p "$x"
  tar -x -C "$x" -f "$out/$name.tar.xz"
  list_expected "$x" >"$out/$name.expected"
}

make gnu-crc64 "-6 --check=crc64" "" --format=gnu
make pax-crc32 "-6 --check=crc32" "" --format=pax
make gnu-sha256 "-1 --check=sha256" "" --format=gnu
make pax-none-x86 "--check=none --x86 --lzma2=preset=6" "" --format=pax
# ustar cannot hold the long link name; the long file name it splits into prefix and name.
make ustar-crc64 "--check=crc64" "/^top\/long-link$/d" --format=ustar
# Names as `tar -C dir -cf x .` writes them, each beginning "./".
make dot-slash "--check=crc64" "s,^,./," --format=gnu
# Several blocks, as `xz -T0` writes them: decoded on all cores.
make blocks "-T4 --block-size=1MiB --check=crc64" "" --format=gnu

# One tar in two xz streams, as `cat a.xz b.xz` or a parallel compressor makes it, cut inside big.bin, with
# stream padding (four zero bytes) after each stream. In "streams-blocks" the last stream has several
# blocks, so the threaded decoder reads it.
members >"$work/list-streams"
(cd "$src" && tar -c --no-recursion -T "$work/list-streams" --format=gnu) >"$work/streams.tar"
streams() {
  local name=$1 second=$2
  # shellcheck disable=SC2086
  { head -c 1234567 "$work/streams.tar" | xz -c --check=crc64; head -c 4 /dev/zero
    tail -c +1234568 "$work/streams.tar" | xz -c --check=crc64 $second; head -c 4 /dev/zero; } >"$out/$name.tar.xz"
  local x=$work/x-$name
  rm -rf "$x" && mkdir -p "$x"
  tar -x -C "$x" -f "$out/$name.tar.xz"
  list_expected "$x" >"$out/$name.expected"
}
streams streams ""
streams streams-blocks "-T2 --block-size=1MiB"

# GNU tar's incremental format (-G): folders as dump entries, and the times in the GNU header where
# ustar keeps its name prefix. It stores each folder's entries by name, symbolic links before what they
# name, so the tree goes without its symbolic links and fifo (links are copies of earlier members here).
cp -a "$src" "$work/incremental-src"
find "$work/incremental-src" \( -type l -o -type p \) -delete
(cd "$work/incremental-src" && tar -c -G --format=gnu top) | xz -c --check=crc64 >"$out/incremental.tar.xz"
[ "$(xz -dc "$out/incremental.tar.xz" | head -c 346 | tail -c 1 | od -An -c | tr -d ' ')" != '\0' ] ||
  { echo "make_tar_fixtures: no times at offset 345 of the incremental archive" >&2; exit 1; }
rm -rf "$work/x-incremental" && mkdir -p "$work/x-incremental"
tar -x -C "$work/x-incremental" -f "$out/incremental.tar.xz"
list_expected "$work/x-incremental" >"$out/incremental.expected"

# ---- archives that end early or hold what cannot be unpacked (the messages are in the tests) ----------
c=$work/cut
mkdir -p "$c/in"
head -c 20000 /dev/urandom >"$c/in/a.bin"
printf 'hi\n' >"$c/in/b.txt"
# a.bin's header at 0 and its data at 512..20511, padded to 20992; b.txt's header at 20992.
(cd "$c/in" && tar -c --format=gnu a.bin b.txt) >"$c/plain.tar"
head -c 10000 "$c/plain.tar" | xz -c >"$out/cut-data.tar.xz"
head -c 20600 "$c/plain.tar" | xz -c >"$out/cut-padding.tar.xz"
head -c 21200 "$c/plain.tar" | xz -c >"$out/cut-header.tar.xz"
# Complete members without the two zero blocks that close an archive: tar takes it as it is.
head -c 22016 "$c/plain.tar" | xz -c >"$out/no-end-blocks.tar.xz"
rm -rf "$work/x-no-end" && mkdir -p "$work/x-no-end"
tar -x -C "$work/x-no-end" -f "$out/no-end-blocks.tar.xz"
list_expected "$work/x-no-end" >"$out/no-end-blocks.expected"
# A pax header (for a name past 100 bytes) at 0, its records from 512: cut inside them, and right after
# the header's block, before the entry it is for.
long=$(printf 'a-name-longer-than-a-header-holds-%.0s' 1 2 3 4)
cp "$c/in/b.txt" "$c/in/$long"
(cd "$c/in" && tar -c --format=posix "$long") >"$c/pax.tar"
head -c 530 "$c/pax.tar" | xz -c >"$out/cut-pax.tar.xz"
head -c 1024 "$c/pax.tar" | xz -c >"$out/cut-after-pax.tar.xz"
# A member that declares 8 GiB, followed by 9 bytes: in GNU form (a base-256 size) and in pax form (a
# "size=" record); tar cannot write such a header without the data, Python's tarfile can.
python3 - "$out" <<'PY'
import lzma, sys, tarfile
for fmt, name in ((tarfile.GNU_FORMAT, "huge-gnu"), (tarfile.PAX_FORMAT, "huge-pax")):
    info = tarfile.TarInfo("huge.bin")
    info.size = 8 << 30
    data = info.tobuf(fmt, "utf-8", "surrogateescape") + b"nine byte"
    with open(f"{sys.argv[1]}/{name}.tar.xz", "wb") as f:
        f.write(lzma.compress(data, check=lzma.CHECK_CRC64))
PY
# Sparse files (tar -S): GNU's with 2 regions (in the header) and with 6 (the map goes on in an extension
# block that the size does not count), and pax sparse 1.0. The last 512 bytes of data of the 6-region file
# are a tar header of their own: a reader that takes the extension block for data meets it as a member.
python3 - "$c" <<'PY'
import sys, tarfile
base = sys.argv[1]
for regions in (2, 6):
    with open(f"{base}/in/sparse{regions}.bin", "wb") as f:
        for i in range(regions):
            f.seek(i * 65536)
            f.write(bytes([65 + i]) * 4096)
        if regions == 6:
            f.seek(5 * 65536 + 4096 - 512)
            f.write(tarfile.TarInfo("smuggled-from-sparse.txt").tobuf(tarfile.GNU_FORMAT, "utf-8", "strict")[:512])
        f.truncate(regions * 65536)
PY
(cd "$c/in" && tar -c -S --format=gnu sparse2.bin) | xz -c >"$out/sparse-gnu-2.tar.xz"
(cd "$c/in" && tar -c -S --format=gnu sparse6.bin) | xz -c >"$out/sparse-gnu-6.tar.xz"
(cd "$c/in" && tar -c -S --format=posix --sparse-version=1.0 sparse6.bin) | xz -c >"$out/sparse-pax-1.0.tar.xz"
for name in sparse-gnu-2 sparse-gnu-6; do
  [ "$(xz -dc "$out/$name.tar.xz" | head -c 157 | tail -c 1)" = S ] ||
    { echo "make_tar_fixtures: tar made no sparse member in $name" >&2; exit 1; }
done

# ---- hostile archives (what the tests expect is stated there) ------------------------------------
h=$work/hostile
mkdir -p "$h/in"
printf 'first\n' >"$h/in/first.txt"
printf 'pwned\n' >"$h/in/evil.txt"
ln -s ../.. "$h/in/escape"
# A "../" name and an absolute one (GNU tar keeps them only with -P).
(cd "$h/in" && tar -c -P --format=gnu first.txt evil.txt --transform 's,^evil\.txt$,../evil.txt,') |
  xz -c >"$out/dotdot-name.tar.xz"
(cd "$h/in" && tar -c -P --format=gnu first.txt "$h/in/evil.txt") | xz -c >"$out/absolute-name.tar.xz"
# A link that leads out, then a file written "through" it.
(cd "$h/in" && tar -c --format=gnu first.txt escape evil.txt --transform 's,^evil\.txt$,escape/evil.txt,S') |
  xz -c >"$out/through-link.tar.xz"
# Links before the files they name, and an absolute link and an upward one that would name files of the
# archive if their leading "/" or "../" were dropped.
mkdir -p "$h/order/etc" "$h/order/sub"
printf 'target\n' >"$h/order/target.txt"
printf 'not the host file\n' >"$h/order/etc/hosts"
ln -s target.txt "$h/order/early-link"
ln -s /etc/hosts "$h/order/absolute"
ln -s ../../target.txt "$h/order/sub/climbs"
(cd "$h/order" && tar -c --format=gnu early-link target.txt etc/hosts absolute sub/climbs) | xz -c >"$out/order.tar.xz"

rm -rf "$work"
touch "$out/.made"
