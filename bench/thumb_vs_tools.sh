#!/usr/bin/env bash
# bench/thumb_vs_tools.sh [build folder] [photo folder] [count]
#
# Thumbnails of the same photos (12 MP, made by thumb_bench) at 160x120, exact size,
# quality 75, three ways, one image after the other:
#   1. the agent's thumbnailer in process (bench/thumb_bench);
#   2. vipsthumbnail, one process per photo, and once more with all photos in one process;
#   3. ImageMagick's convert with the JPEG size hint, one process per photo.
# Prints each tool's per-image time and rate and the thumbnailer's speed-up over each.
# Needs scripts/install-bench-deps (libvips-tools, imagemagick).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
photos=${2:-$build/thumb-bench-photos}
count=${3:-100}
size=160x120

bench="$build/bench/thumb_bench"
[ -x "$bench" ] || { echo "build $bench first (cmake --build $build)"; exit 1; }
vips=$(command -v vipsthumbnail || true)
# The packaged ImageMagick 6 binary by its own name: a "convert" earlier on PATH may be
# something else.
im=""
for c in /usr/bin/convert-im6.q16 /usr/bin/convert-im6 /usr/bin/convert; do
  if [ -x "$c" ]; then im=$c; break; fi
done
if [ -z "$vips" ] || [ -z "$im" ]; then
  echo "vipsthumbnail or ImageMagick missing: run scripts/install-bench-deps"; exit 1
fi

"$bench" --dir "$photos" --count "$count" --generate-only
mapfile -t files < <(ls "$photos"/photo_4000x3000_*.jpg | head -n "$count")
n=${#files[@]}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { print b - a }'; }
report() {  # name seconds
  awk -v name="$1" -v s="$2" -v n="$n" 'BEGIN { printf "%-44s %8.2f ms/image %7.1f images/s\n", name, s * 1000 / n, n / s }'
}

# Each tool gets one untimed run first (page cache, shared libraries).
"$vips" -s "${size}!" "${files[0]}" -o "$out/warm.jpg[Q=75]" >/dev/null
"$im" -define jpeg:size=$size "${files[0]}" -thumbnail "${size}!" -quality 75 "$out/warm.jpg"

line=$("$bench" --dir "$photos" --count "$n" --thumb $size | tail -n 1)
ours=$(echo "$line" | sed -n 's/.* in \([0-9.]*\) s:.*/\1/p')

t0=$(now)
for f in "${files[@]}"; do
  "$vips" -s "${size}!" "$f" -o "$out/%s.jpg[Q=75]"
done
vips_each=$(since "$t0")

t0=$(now)
"$vips" -s "${size}!" -o "$out/%s_batch.jpg[Q=75]" "${files[@]}"
vips_batch=$(since "$t0")

t0=$(now)
for f in "${files[@]}"; do
  "$im" -define jpeg:size=$size "$f" -thumbnail "${size}!" -quality 75 "$out/$(basename "$f" .jpg)_im.jpg"
done
im_each=$(since "$t0")

echo "photos: $n in $photos, thumbnails $size"
report "agent thumbnailer (in process)" "$ours"
report "vipsthumbnail (one process per photo)" "$vips_each"
report "vipsthumbnail (all photos in one process)" "$vips_batch"
report "ImageMagick convert (one process per photo)" "$im_each"
awk -v o="$ours" -v a="$vips_each" -v b="$vips_batch" -v c="$im_each" 'BEGIN {
  printf "speed-up of the thumbnailer: %.2fx vipsthumbnail per photo, %.2fx vipsthumbnail batch, %.2fx ImageMagick\n", a / o, b / o, c / o }'
awk -v o="$ours" -v a="$vips_each" -v b="$vips_batch" -v c="$im_each" -v n="$n" 'BEGIN {
  printf "RESULT thumb.ours_ips=%.2f\nRESULT thumb.vips_ips=%.2f\nRESULT thumb.vips_batch_ips=%.2f\nRESULT thumb.im_ips=%.2f\nRESULT thumb.photos=%d\n",
    n / o, n / a, n / b, n / c, n }'
