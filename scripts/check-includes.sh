#!/bin/sh
# The layering rule of the tree: the portable code never includes a
# platform's own headers. text/, settings/, protocol/, agent/, lockscreen/
# and console/ (outside the win32/ folders of agent/ and lockscreen/) never
# include platform/win32/, platform/posix/ or <windows.h>; they reach the
# platform through the interfaces in platform/. platform/sim/ may use
# platform/posix/; tests, tools and benchmarks are free. Prints every
# violation and exits 1 when there is one.
cd "$(dirname "$0")/.." || exit 2
found=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](platform/(win32|posix)/[^">]*|windows\.h)[">]' \
  --include='*.h' --include='*.cpp' text settings protocol agent lockscreen console |
  grep -vE '^(agent|lockscreen)/win32/')
if [ -n "$found" ]; then
  echo "Portable code includes a platform's own headers (use the interfaces in platform/):"
  echo "$found"
  exit 1
fi
echo "includes: the portable code includes no platform's own headers"
