#!/bin/sh
# The layering rule of the tree: the portable code never includes a
# platform's own headers. text/, settings/, protocol/, agent/, lockscreen/,
# console/ and the interfaces of platform/ (outside the programs' entries of
# a platform: agent/win32/, lockscreen/win32/, agent/sim/) never include
# platform/win32/, platform/posix/, platform/sim/, <windows.h> or a POSIX
# system header (<unistd.h>, <sys/...>, <arpa/...>, <netinet/...>, ...); they
# reach the platform through the interfaces in platform/. platform/sim/ may
# use platform/posix/; tests, tools and benchmarks are free. Prints every
# violation and exits 1 when there is one.
cd "$(dirname "$0")/.." || exit 2
platform_headers='platform/(win32|posix|sim)/[^">]*|windows\.h'
posix_headers='unistd\.h|sys/[^>]*|arpa/[^>]*|netinet/[^>]*|net/[^>]*|netdb\.h|fcntl\.h|poll\.h|pthread\.h|dirent\.h|termios\.h|dlfcn\.h|pwd\.h|grp\.h|ifaddrs\.h|spawn\.h|syslog\.h'
found=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($platform_headers|$posix_headers)[\">]" \
  --include='*.h' --include='*.cpp' text settings protocol agent lockscreen console \
  platform/*.h platform/*.cpp |
  grep -vE '^(agent/win32|lockscreen/win32|agent/sim)/')
if [ -n "$found" ]; then
  echo "Portable code includes a platform's own headers (use the interfaces in platform/):"
  echo "$found"
  exit 1
fi
echo "includes: the portable code includes no platform's own headers"
