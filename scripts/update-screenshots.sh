#!/bin/sh
# Copies the screenshots that the Windows GUI tests took over the
# documentation's pictures in docs/screenshots/. The tests write them only into the build
# folder (build/windows/screenshots/), so that a test run leaves the working
# tree as it was; run this when the pictures are meant to change:
#   ./scripts/with-xvfb.sh ctest --preset windows -L gui
#   ./scripts/update-screenshots.sh
# Then review and commit docs/screenshots/.
cd "$(dirname "$0")/.." || exit 1
from=build/windows/screenshots
to=docs/screenshots
found=no
for picture in "$from"/*.png; do
  [ -e "$picture" ] || break
  found=yes
  cp "$picture" "$to/" || exit 1
  printf '%s\n' "$to/$(basename "$picture")"
done
if [ $found = no ]; then
  printf '%s\n' "update-screenshots.sh: no screenshots in $from; take them first with" \
    "  ./scripts/with-xvfb.sh ctest --preset windows -L gui" >&2
  exit 1
fi
