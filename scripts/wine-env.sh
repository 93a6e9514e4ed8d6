# Sourced by the Windows scripts: Wine in a prefix of its own inside the cross
# build folder ($build), 64-bit, silent, without the .NET and HTML helpers it
# would otherwise offer to install.
export WINEPREFIX=$build/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
