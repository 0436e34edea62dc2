#!/bin/sh
# Runs a Windows program under Wine for CTest, in the build's own Wine prefix
# (created by the wine_prefix fixture), with Wine's debug output off.
: "${WINEPREFIX:=${ZALVO_WINEPREFIX:-$(pwd)/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
