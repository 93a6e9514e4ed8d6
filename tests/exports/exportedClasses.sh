#!/usr/bin/env bash
# Checks what the shared library exports: every NQBase class (or function)
# with a symbol in its dynamic symbol table is NQLogReport or is named, as
# `NQBase::Name`, on a line of README.md that says why it is exported.
# Usage: exportedClasses.sh <nm> <liblogReport.so> <README.md>
set -euo pipefail
nm_tool=$1 lib=$2 readme=$3

exported=$("$nm_tool" -D --defined-only -C "$lib" |
  sed -E 's/^[0-9a-fA-F]* +[A-Za-z] +//; s/^(typeinfo name for|typeinfo for|vtable for|VTT for|construction vtable for) +//' |
  # A standard template instantiated over an NQBase type (std::vector<NQByteArray>
  # in a build that does not inline it) is the standard library's, shown behind
  # its return type: not an NQBase class.
  grep -vE '^[^ (]+ (std|__gnu_cxx)::' |
  sed -nE 's/^NQBase::([A-Za-z_][A-Za-z0-9_]*).*/\1/p' | sort -u)
if [ -z "$exported" ]; then
  echo "no NQBase symbol is exported from $lib: NQLogReport at least must be" >&2
  exit 1
fi

allowed=$( (echo NQLogReport; grep -i 'export' "$readme" | grep -oE '`NQBase::[A-Za-z_][A-Za-z0-9_]*`' |
  sed -E 's/`NQBase::(.*)`/\1/') | sort -u)
leaks=$(comm -23 <(echo "$exported") <(echo "$allowed"))
if [ -n "$leaks" ]; then
  echo "$lib exports NQBase names that README.md does not explain:" >&2
  echo "$leaks" | sed 's/^/  NQBase::/' >&2
  echo "hide them, or name each as \`NQBase::Name\` on a README line about exports, with the reason" >&2
  exit 1
fi
echo "exported NQBase names: $(echo $exported)"
