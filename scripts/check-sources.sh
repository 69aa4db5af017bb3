#!/usr/bin/env bash
# Checks rules of the code base that the compiler does not: text is UTF-8 in
# std::string, so no wide characters and no wide printf family anywhere.
set -uo pipefail
cd "$(dirname "$0")/.."
pattern='\bwchar_t\b|\b(v?f?w|v?sw)printf\b|\bwcs[a-z]*\(|(^|[^A-Za-z0-9_"'\''])L"'
hits=$(git ls-files '*.cpp' '*.h' 2>/dev/null | xargs -r grep -nE "$pattern" || true)
if [ -n "$hits" ]; then
  echo "Wide text is not used in Tarvex (UTF-8 std::string only):"
  echo "$hits"
  exit 1
fi
echo "source rules: ok"
