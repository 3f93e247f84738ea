#!/usr/bin/env bash
# Shows what the helper's effects look like, on any Linux machine: installs
# what is missing of what the preview needs (deps.sh preview: no Wine, mingw,
# Xvfb, clang or test libraries), builds only the preview tool (preset
# preview, in build/preview) and runs it.
# Without arguments it shows the built-in scene and writes its pictures to
# preview-out/ in the current folder; any arguments go to the preview, e.g.
#   bash scripts/preview.sh --screenshot my-desktop.png --window 100,80,900,600
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

bash "$root/scripts/deps.sh" preview

echo "building the preview (preset preview, target kestra-preview)..."
if ! log=$(cd "$root" && cmake --preset preview 2>&1 && cmake --build --preset preview -j "$(nproc)" 2>&1); then
  echo "$log"
  echo "preview.sh: the build failed (output above)" >&2
  exit 1
fi

# Run from the caller's folder, so that relative paths in the arguments
# (--screenshot, --out) mean what the caller expects.
"$root/build/preview/apps/preview/kestra-preview" "$@"
