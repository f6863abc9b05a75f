#!/usr/bin/env bash
# demstitch.exe under wine, compared with the Linux build on the same tiles: the same result
# bytes, console text as a Windows console program writes it (CR LF), and the install's
# guarantees on Windows (a read-only header, Ctrl-C).
#   windows_end_to_end.sh DEMSTITCH.EXE WINE LINUX_BUILD_FOLDER
set -uo pipefail
exe="$(realpath "$1")"
wine="$2"
linux="$(realpath "$3")"
export WINEDEBUG=-all LANG=C.UTF-8
export WINEPREFIX="${WINEPREFIX:-$(dirname "$exe")/wineprefix}"
work="$(mktemp -d "${TMPDIR:-/tmp}/demstitch-windows-XXXXXX")"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() {  # check NAME CONDITION...
  local name="$1"
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $name" >&2
    failed=$((failed + 1))
  fi
}
crlf() { perl -pe 's/\n/\r\n/g'; }
# Only the tiles and what a test put there on purpose: no temporary file, no lock.
no_strays() { ! ls "$work/$1" | grep -q -E '\.part$|\.lock$'; }

tiles=(E169N12 E171N12 E169N10 E171N10)
"$linux/make_tiles" sample "$work/tiles" >/dev/null
mkdir -p "$work/linux" "$work/windows"
(cd "$work/linux" && "$linux/demstitch" "${tiles[@]/#/../tiles/}" >out.txt 2>err.txt)
(cd "$work/windows" && "$wine" "$exe" "${tiles[@]/#/../tiles/}" >out.txt 2>err.txt)
status=$?
check "status 0 for the sample tiles" [ "$status" = 0 ]
for f in GTResult.DEM GTResult.HDR GTResult.prj; do
  check "$f is the Linux build's" cmp -s "$work/linux/$f" "$work/windows/$f"
done
# Lines end in CR LF, progress lines in a bare CR; names ignore case, so the lower-case
# names of the upper-case tile open, and are the ones printed.
crlf <"$work/linux/out.txt" | sed 's/E169N10\.HDR/E169N10.hdr/; s/E169N10\.DEM/E169N10.dem/g' \
  >"$work/expected.txt"
check "console text with CR LF" cmp -s "$work/expected.txt" "$work/windows/out.txt"
check "nothing on standard error" [ ! -s "$work/windows/err.txt" ]

# A missing tile is reported once, not once for each case of its name.
(cd "$work/windows" && "$wine" "$exe" ../tiles/E169N12 ../tiles/nothing >/dev/null 2>err.txt)
status=$?
check "status 4 for a missing tile" [ "$status" = 4 ]
printf 'Error opening file ../tiles/nothing.hdr\r\n1 of 2 named tiles was not used, or not used fully: ../tiles/nothing\r\n' \
  >"$work/expected.txt"
check "a missing tile reported once" cmp -s "$work/expected.txt" "$work/windows/err.txt"

# A folder with a name beyond ASCII.
folder="$work/tüiles ñ"
cp -r "$work/tiles" "$folder"
mkdir -p "$work/unicode"
(cd "$work/unicode" && "$wine" "$exe" "${tiles[@]/#/../tüiles ñ/}" >/dev/null 2>&1)
status=$?
check "status 0 from a folder named beyond ASCII" [ "$status" = 0 ]
check "the same mosaic from that folder" cmp -s "$work/linux/GTResult.DEM" "$work/unicode/GTResult.DEM"

# A path longer than the old limit of 260 characters.
long="$work/$(printf 'folder-with-a-long-name-%03d/' 1 2 3 4 5 6 7 8 9 10 11)"
mkdir -p "$long"
cp "$work"/tiles/E169N12.* "$long"
(cd "$work/windows" && "$wine" "$exe" --output="${long}result" "${long}E169N12" >/dev/null 2>&1)
status=$?
check "status 0 on a path of over 260 characters" [ "$status" = 0 ]
check "the result on that path" test -s "${long}result.DEM" -a -s "${long}result.prj"

# A region.
(cd "$work/linux" && "$linux/demstitch" --bounds=170.5,9.5,171.5,10.5 --output=region \
  "${tiles[@]/#/../tiles/}" >/dev/null 2>&1)
(cd "$work/windows" && "$wine" "$exe" --bounds=170.5,9.5,171.5,10.5 --output=region \
  "${tiles[@]/#/../tiles/}" >/dev/null 2>&1)
check "a region is the Linux build's" cmp -s "$work/linux/region.DEM" "$work/windows/region.DEM"
# Windows shells leave a pattern to the program.
(cd "$work/windows" && "$wine" "$exe" --bounds=170.5,9.5,171.5,10.5 --output=pattern \
  '../tiles/*.DEM' >/dev/null 2>&1)
check "a pattern names the tiles it matches" cmp -s "$work/linux/region.DEM" "$work/windows/pattern.DEM"

# A read-only header cannot be replaced on Windows: the earlier pair stays as it was.
cp "$work/windows/GTResult.DEM" "$work/earlier.DEM"
cp "$work/windows/GTResult.HDR" "$work/earlier.HDR"
chmod 444 "$work/windows/GTResult.HDR"
(cd "$work/windows" && "$wine" "$exe" ../tiles/E169N12 >/dev/null 2>err.txt)
status=$?
check "status 3 when the header is read-only" [ "$status" = 3 ]
check "the earlier raster kept" cmp -s "$work/earlier.DEM" "$work/windows/GTResult.DEM"
check "the earlier header kept" cmp -s "$work/earlier.HDR" "$work/windows/GTResult.HDR"
check "nothing left behind after a failed install" no_strays windows
chmod 644 "$work/windows/GTResult.HDR"

# A device name is not a file, and a file of the user's under the lock's name is not a lock:
# nothing is written, and that file is left as it was.
(cd "$work/windows" && "$wine" "$exe" --output=CON ../tiles/E169N12 >/dev/null 2>err.txt)
status=$?
check "status 3 for --output=CON" [ "$status" = 3 ]
check "the device name named" grep -q "CON.DEM: a device name on Windows" "$work/windows/err.txt"
echo keep >"$work/windows/mine.DEM.lock"
(cd "$work/windows" && "$wine" "$exe" --output=mine ../tiles/E169N12 >/dev/null 2>err.txt)
status=$?
check "status 3 for a lock name that is not a lock" [ "$status" = 3 ]
check "that file kept" [ "$(cat "$work/windows/mine.DEM.lock")" = keep ]
check "no result beside it" [ ! -e "$work/windows/mine.DEM" ]
rm "$work/windows/mine.DEM.lock"
# A lock file a killed run left half made is removed by the next run, which then stitches.
: >"$work/windows/mine.DEM.lock.new"
(cd "$work/windows" && "$wine" "$exe" --output=mine ../tiles/E169N12 >/dev/null 2>err.txt)
status=$?
check "status 0 after a lock file left half made" [ "$status" = 0 ]
check "the half-made lock file removed" [ ! -e "$work/windows/mine.DEM.lock.new" ]
rm -f "$work"/windows/mine.*

# The result this run replaces is not a tile, and a result named like a tile (in any case)
# would replace the tile's files: both refused, the tile intact.
(cd "$work/windows" && "$wine" "$exe" ../tiles/E169N12 GTResult.DEM >/dev/null 2>&1)
status=$?
check "status 2 for the result named as a tile" [ "$status" = 2 ]
cp "$work/tiles/E169N12.dem" "$work/tile.DEM"
(cd "$work/windows" && "$wine" "$exe" --output=../tiles/e169n12 ../tiles/E169N12 >/dev/null 2>&1)
status=$?
check "status 2 for --output naming a tile" [ "$status" = 2 ]
check "the tile intact" cmp -s "$work/tile.DEM" "$work/tiles/E169N12.dem"
# A header without a corner is doubtful: status 4.
: >"$work/tiles/E.HDR"
cp "$work/tiles/E169N12.dem" "$work/tiles/E.DEM"
(cd "$work/windows" && "$wine" "$exe" --output=doubt ../tiles/E >/dev/null 2>err.txt)
status=$?
check "status 4 for a doubtful header" [ "$status" = 4 ]
check "the doubtful header named" grep -q "Doubtful header ../tiles/E.hdr" "$work/windows/err.txt"
rm -f "$work"/windows/doubt.* "$work"/tiles/E.*

# Ctrl-C while the run is at work (wine turns SIGINT into the console's Ctrl-C): the run
# removes what it made and ends with the status of a program ended by Ctrl-C, 0xC000013A,
# of which a POSIX shell sees the low byte, 58.
printf 'NROWS 5000000\nNCOLS 120\nULXMAP -180\nULYMAP 90\nYDIM 0.0000001\n' >"$work/tiles/P.hdr"
head -c 480 /dev/zero >"$work/tiles/P.dem"
mkfifo "$work/progress"
(cd "$work/windows" && exec "$wine" "$exe" ../tiles/P >"$work/progress" 2>/dev/null) &
runner=$!
exec 3<"$work/progress"
sleep 2
pid="$(pgrep -f 'demstitch.exe ../tiles/P' | head -1)"
[ -n "$pid" ] && kill -INT "$pid"
cat <&3 >/dev/null &
wait "$runner"
status=$?
exec 3<&-
check "status 58 after Ctrl-C" [ "$status" = 58 ]
check "the earlier raster kept after Ctrl-C" cmp -s "$work/earlier.DEM" "$work/windows/GTResult.DEM"
check "nothing left behind after Ctrl-C" no_strays windows

# A COG with overviews: the samples of every level as the Linux build's, judged by GDAL
# where its Python bindings are (the compressed bytes differ: zlib here, libdeflate there).
for name in A B; do
  printf 'NROWS 900\r\nNCOLS 700\r\nBANDROWBYTES 1400\r\nTOTALROWBYTES 1400\r\nULXMAP %s\r\nULYMAP 49.995833\r\n' \
    "$([ $name = A ] && echo -9.995833 || echo -3.329167)" >"$work/tiles/$name.HDR"
  head -c 1260000 /dev/urandom >"$work/tiles/$name.DEM"
done
(cd "$work/linux" && "$linux/demstitch" --output=cog ../tiles/A ../tiles/B >/dev/null)
(cd "$work/windows" && "$wine" "$exe" --output=cog.tif --overviews=nearest ../tiles/A ../tiles/B >/dev/null 2>&1)
check "status 0 for a COG" [ $? = 0 ]
check "the COG's file and nothing else" [ "$(ls "$work/windows" | grep '^cog')" = cog.tif ]
if /usr/bin/python3 -c 'import numpy, osgeo_utils' 2>/dev/null; then
  check "the COG read by GDAL as the Linux build's raster" \
    /usr/bin/python3 "$(dirname "$0")/cog_check.py" "$work/windows/cog.tif" "$work/linux/cog.DEM" nearest
fi
# A NetCDF file: the Linux build's, but for its history (the time and the command).
(cd "$work/linux" && "$linux/demstitch" --output=n.nc ../tiles/A ../tiles/B >/dev/null)
(cd "$work/windows" && "$wine" "$exe" --output=n.nc ../tiles/A ../tiles/B >/dev/null 2>&1)
check "status 0 for a NetCDF file" [ $? = 0 ]
check "the NetCDF file's size is the Linux build's" \
  [ "$(stat -c %s "$work/windows/n.nc")" = "$(stat -c %s "$work/linux/n.nc")" ]
check "the NetCDF file's samples are the Linux build's" \
  cmp -s <(tail -c 2520000 "$work/linux/n.nc") <(tail -c 2520000 "$work/windows/n.nc")
if command -v ncdump >/dev/null; then
  check "the NetCDF file is the Linux build's but for its history" \
    cmp -s <(cd "$work/linux" && ncdump n.nc | grep -v ':history = ') \
      <(cd "$work/windows" && ncdump n.nc | grep -v ':history = ')
fi

(cd "$work/windows" && "$wine" "$exe" --format=cog --compress=zstd ../tiles/A >/dev/null 2>err.txt)
check "status 2 for zstd, which this build lacks" [ $? = 2 ]
check "zstd's absence said" grep -q "cannot write it" "$work/windows/err.txt"

# The sample tiles as downloaded, a .tar.gz or a .zip each with the raster first, read in
# place from their folder: the Linux build's bytes from the tiles on disk.
mkdir -p "$work/archives" "$work/from_archives"
for t in "${tiles[@]}"; do
  (cd "$work/tiles" && files=$(ls "$t".[dD][eE][mM] "$t".[hH][dD][rR]) &&
    if [ "$t" = E171N10 ]; then zip -q "../archives/$t.zip" $files; else tar -czf "../archives/$t.tar.gz" $files; fi)
done
(cd "$work/from_archives" && "$wine" "$exe" ../archives >out.txt 2>err.txt)
check "status 0 for a folder of archives" [ $? = 0 ]
for f in GTResult.DEM GTResult.HDR; do
  check "$f from archives is the Linux build's from the tiles" cmp -s "$work/linux/$f" "$work/from_archives/$f"
done
check "a tile named by its archive and member" grep -q -E 'archives[/\\]E169N12.tar.gz:E169N12.hdr' "$work/from_archives/out.txt"

# The indexes of the .tar.gz go under %LOCALAPPDATA%\demstitch (inside the wine prefix):
# none with --no-cache; a second run reads them, and garbage over them is made good again.
indexes() { find "$WINEPREFIX/drive_c/users" -path '*Local*/demstitch/*.index' 2>/dev/null | sort; }
find "$WINEPREFIX/drive_c/users" -type d -name demstitch -path '*Local*' -exec rm -rf {} + 2>/dev/null
(cd "$work/from_archives" && "$wine" "$exe" --no-cache ../archives >/dev/null 2>&1)
check "--no-cache keeps no index" [ -z "$(indexes)" ]
for round in first second garbage; do
  [ "$round" != garbage ] || for f in $(indexes); do echo garbage >"$f"; done
  rm -f "$work/from_archives/GTResult."*
  (cd "$work/from_archives" && "$wine" "$exe" ../archives >/dev/null 2>&1)
  check "status 0 with the cache, $round run" [ $? = 0 ]
  check "the $round run's mosaic is the Linux build's" cmp -s "$work/linux/GTResult.DEM" "$work/from_archives/GTResult.DEM"
  check "an index for each .tar.gz after the $round run" [ "$(indexes | wc -l)" = 3 ]
done
check "the indexes are whole again" [ -z "$(grep -l garbage $(indexes))" ]

echo "windows end to end: $passed passed, $failed failed"
[ "$failed" = 0 ]
