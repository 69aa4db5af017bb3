#!/usr/bin/env bash
# Checks rules of the code base that the compiler does not:
# - text is UTF-8 in std::string, so no wide characters and no wide printf
#   family anywhere;
# - the layers: each folder includes only itself and the folders below it,
#   and test support (tests/, testing/) only from tests, benchmarks and the
#   test kits.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0

pattern='\bwchar_t\b|\b(v?f?w|v?sw)printf\b|\bwcs[a-z]*\(|(^|[^A-Za-z0-9_"'\''])L"'
hits=$(git ls-files '*.cpp' '*.h' 2>/dev/null | xargs -r grep -nE "$pattern" || true)
if [ -n "$hits" ]; then
  echo "Wide text is not used in Tarvex (UTF-8 std::string only):"
  echo "$hits"
  status=1
fi

# The layer of a path: the first of these prefixes it starts with.
layer_of() {
  case "$1" in
    text/*) echo text ;;
    platform/*) echo platform ;;
    ie/foundation/core/*) echo core ;;
    ie/foundation/*) echo foundation ;;
    nodeset/*) echo nodeset ;;
    ie/sync/*) echo sync ;;
    ie/favorites/*) echo favorites ;;
    ie/shell/dialogbox/*) echo dialogbox ;;
    ie/shell/*) echo shell ;;
    crashreport/zip/*) echo zip ;;
    crashreport/*) echo crashreport ;;
    app/*) echo app ;;
    prefPane/*) echo prefpane ;;
    bench/*) echo bench ;;
    *) echo other ;;
  esac
}
# What each layer's own code may include, itself aside.
allowed_for() {
  case "$1" in
    text) echo "" ;;
    platform) echo "text" ;;
    core) echo "text platform" ;;
    foundation) echo "text platform core" ;;
    nodeset) echo "text" ;;
    sync) echo "text platform core foundation nodeset favorites" ;;
    favorites) echo "text platform core foundation nodeset" ;;
    dialogbox) echo "text platform core" ;;
    shell) echo "text platform core dialogbox foundation nodeset sync favorites" ;;
    zip) echo "" ;;
    crashreport) echo "text platform core dialogbox zip" ;;
    app) echo "text platform nodeset" ;;
    prefpane) echo "text platform core zip" ;;
    bench | other) echo "*" ;;
  esac
}
is_test_support() {
  case "$1" in */tests/* | */testing/*) return 0 ;; *) return 1 ;; esac
}

violations=""
while IFS= read -r file; do
  from=$(layer_of "$file")
  allowed=" $(allowed_for "$from") "
  test_code=false
  if is_test_support "$file" || [ "$from" = bench ] || [ "$from" = other ]; then test_code=true; fi
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    number=${line%%:*}
    target=${line#*:}
    target=${target#*\"}
    target=${target%%\"*}
    # Only our own headers, named from the top of the tree.
    case "$target" in */*) ;; *) continue ;; esac
    to=$(layer_of "$target")
    [ "$to" = other ] && continue
    if is_test_support "$target" && [ "$test_code" = false ]; then
      violations+="$file:$number includes test support $target"$'\n'
      continue
    fi
    [ "$to" = "$from" ] && continue
    [ "$allowed" = " * " ] && continue
    if [ "$test_code" = true ]; then
      # The engine's tests may also use the platform's files.
      case "$from:$to" in
        nodeset:platform) continue ;;
      esac
      if is_test_support "$target"; then continue; fi
    fi
    case "$allowed" in
      *" $to "*) ;;
      *) violations+="$file:$number ($from) includes $target ($to)"$'\n' ;;
    esac
  done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(git ls-files '*.cpp' '*.h' 2>/dev/null)

if [ -n "$violations" ]; then
  echo "Includes that break the layers (a folder includes only itself and the folders below it):"
  printf '%s' "$violations"
  status=1
fi
[ $status -eq 0 ] && echo "source rules: ok"
exit $status
