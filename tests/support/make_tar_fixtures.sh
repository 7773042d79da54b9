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
# list_expected DIR: what tar extracted into DIR, as the .expected lines. A link counts as what it leads
# to when that lies inside DIR: a file as that file, a folder as the files below it (a link back up to a
# folder it is in counts as nothing).
list_expected() {
  python3 - "$1" <<'PY'
import hashlib, os, sys
top = os.path.realpath(sys.argv[1])
rows = []
def walk(folder, rel, chain):
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        real = os.path.realpath(path)
        if not (real == top or real.startswith(top + os.sep)) or not os.path.exists(real):
            continue
        if os.path.isdir(real):
            if real not in chain:
                walk(path, rel + name + "/", chain | {real})
        elif os.path.isfile(real):
            with open(real, "rb") as f:
                data = f.read()
            rows.append((rel + name, len(data), hashlib.sha256(data).hexdigest()))
walk(top, "", {top})
for name, size, digest in sorted(rows):
    print(f"{size} {digest} {name}")
PY
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

# Links in name order (`tar --sort=name`, as release archives are made), so that links come before what
# they name: a link to a folder before the folder (with and without a trailing "/"), a link to a link to
# a folder, a chain of file links in reverse order, a hard link, a link to that hard link, and a hard link
# to a link (tar stores a link that has two names so).
l=$work/links-src/links
mkdir -p "$l/usr/bin" "$l/usr/include" "$l/usr/lib/sub"
printf 'clang\n' >"$l/usr/bin/clang++.exe"
ln "$l/usr/bin/clang++.exe" "$l/usr/bin/clang.exe"
ln -s clang.exe "$l/usr/bin/clang-cl.exe"
printf 'zlib header\n' >"$l/usr/include/zlib.h"
head -c 3000 /dev/urandom >"$l/usr/lib/libz.so.1.3"
ln -s libz.so.1.3 "$l/usr/lib/libz.so.1"
ln -s libz.so.1 "$l/usr/lib/libz.so"
ln "$l/usr/lib/libz.so" "$l/usr/lib/libz-hard.so"
printf 'deep\n' >"$l/usr/lib/sub/deep.txt"
ln -s usr/bin "$l/bin"
ln -s usr/include/ "$l/include"
ln -s lib64 "$l/lib32"
ln -s usr/lib "$l/lib64"
for format in gnu pax; do
  (cd "$work/links-src" && tar -c --sort=name --format=$format links) | xz -c --check=crc64 >"$out/links-$format.tar.xz"
  rm -rf "$work/x-links" && mkdir -p "$work/x-links"
  tar -x -C "$work/x-links" -f "$out/links-$format.tar.xz"
  list_expected "$work/x-links" >"$out/links-$format.expected"
done
[ "$(tar -tf "$out/links-gnu.tar.xz" | sed -n 2p)" = links/bin ] ||
  { echo "make_tar_fixtures: the links archive does not begin with its link to a folder" >&2; exit 1; }

# A small stream whose header asks for a 1.5 GiB dictionary, more than the extractor's decoder may take.
mkdir -p "$work/dict" && printf 'small\n' >"$work/dict/small.txt"
(cd "$work/dict" && tar -c --format=gnu small.txt) | xz -c --lzma2=dict=1536MiB >"$out/huge-dictionary.tar.xz"

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
# Headers that are no headers, and hard links to members that come later or not at all: "bad-checksum"
# has a byte of b.txt's header changed (its checksum no longer holds); in "pax-size-0" a pax "size=0"
# stands over 1024 bytes of data, which then come where a header belongs; GNU tar reports both and skips.
# "hard-link-later" and "hard-link-missing" hold a hard link a.txt to b.txt, which comes after it, or to a
# member that is not there.
python3 - "$out" <<'PY'
import io, lzma, sys, tarfile
def member(name, data=b"", kind=tarfile.REGTYPE, link="", pax=None):
    info = tarfile.TarInfo(name)
    info.type, info.linkname = kind, link
    info.size = len(data) if kind == tarfile.REGTYPE else 0
    if pax:
        info.pax_headers = pax
    return info, io.BytesIO(data) if kind == tarfile.REGTYPE else None
def archive(name, members, fmt=tarfile.GNU_FORMAT, edit=None):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=fmt) as tar:
        for info, data in members:
            tar.addfile(info, data)
    data = bytearray(buffer.getvalue())
    if edit:
        edit(data)
    with open(f"{sys.argv[1]}/{name}.tar.xz", "wb") as f:
        f.write(lzma.compress(bytes(data), check=lzma.CHECK_CRC64))
def spoil(data):
    data[1024 + 136] ^= 1  # a digit of b.txt's time; b.txt's header is the third block
archive("bad-checksum", [member("a.txt", b"a\n"), member("b.txt", b"b\n")], edit=spoil)
archive("pax-size-0", [member("data.bin", b"plain text, no header\n" * 46 + b"end\n" * 3, pax={"size": "0"}),
                       member("after.txt", b"after\n")], fmt=tarfile.PAX_FORMAT)
archive("hard-link-later", [member("a.txt", kind=tarfile.LNKTYPE, link="b.txt"), member("b.txt", b"bee\n")])
archive("hard-link-missing", [member("a.txt", kind=tarfile.LNKTYPE, link="nothere.txt"), member("b.txt", b"bee\n")])
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
