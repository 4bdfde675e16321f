#!/bin/bash
# Lint gates, non-zero on any finding:
#   ShellCheck over every shell script in the tree (a *.sh name or a sh/bash shebang), and
#   clang-format in check mode over the C++ sources, against the root's .clang-format.
#   scripts/lint.sh               both
#   scripts/lint.sh --shell-only  shellcheck only (also LINT_SHELL_ONLY=1)
# Files are those git knows of, tracked or new and not ignored, so a script added today is
# checked before anyone thinks to list it here. Installs shellcheck and clang-format with
# apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,9s/^# \{0,1\}//p' "$0"; }
shell_only=${LINT_SHELL_ONLY:-0}
case "${1:-}" in
  "") ;;
  --shell-only) shell_only=1 ;;
  -h|--help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac

pkgs=(shellcheck)
[ "$shell_only" = 1 ] || pkgs+=(clang-format)
scripts/need.sh "${pkgs[@]}"

tree_files() {  # NUL-separated; files deleted in the work tree but not yet in git are left out
  local f
  while IFS= read -r -d '' f; do
    [ -f "$f" ] && [ ! -L "$f" ] && printf '%s\0' "$f"
  done < <(git ls-files -z --cached --others --exclude-standard)
}

is_shell() {
  case "$1" in *.sh) return 0 ;; esac
  head -n1 -- "$1" 2>/dev/null | grep -aqE '^#![[:space:]]*/(usr/)?bin/(env[[:space:]]+)?(ba|da|k)?sh([[:space:]]|$)'
}

fail=0
scripts=() cxx=()
while IFS= read -r -d '' f; do
  case "$f" in
    *.cpp|*.cc|*.h|*.hpp) cxx+=("$f") ;;
    *) if is_shell "$f"; then scripts+=("$f"); fi ;;
  esac
done < <(tree_files)

if [ ${#scripts[@]} -eq 0 ]; then
  echo "lint: no shell scripts found (is this a git checkout?)" >&2; exit 1
fi
if shellcheck -- "${scripts[@]}"; then
  echo "lint: shellcheck: ${#scripts[@]} scripts clean"
else
  echo "lint: shellcheck: findings above (${#scripts[@]} scripts checked)"
  fail=1
fi

if [ "$shell_only" != 1 ] && [ ${#cxx[@]} -gt 0 ]; then
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  if clang-format --dry-run -Werror --style=file -- "${cxx[@]}" 2>"$log"; then
    echo "lint: clang-format: ${#cxx[@]} C++ files clean ($(clang-format --version))"
  else
    # The full list runs to thousands of lines on a tree far from the style: show its start and
    # the files to reformat.
    head -60 "$log"
    mapfile -t bad < <(grep -oE '^[^:]+:[0-9]+:[0-9]+: (warning|error):' "$log" | cut -d: -f1 | sort -u)
    echo "lint: clang-format: $(grep -cE ': (warning|error):' "$log") findings in ${#bad[@]} of ${#cxx[@]} C++ files" \
      "($(clang-format --version)); fix with: clang-format -i FILE..."
    [ ${#bad[@]} -eq 0 ] || printf '  %s\n' "${bad[@]}"
    fail=1
  fi
fi
exit $fail
