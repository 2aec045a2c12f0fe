#!/usr/bin/env bash
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: tools/lint.sh [-h|--help]

Checks every tracked source file of the repository and fails on any
finding:

  format   clang-format --dry-run --Werror on every *.c, *.cpp and *.h
           under src/ and tests/, against .clang-format (written for
           Debian 12's clang-format 14; other versions break lines
           differently)
  python   pyflakes3 on every *.py file and every Python program under
           images/ (images/quenvale-mkimage among them)
  shell    shellcheck -x -S warning on every *.sh file and every file
           whose first line is a sh or bash shebang (.ci/run among them)

Each check runs whatever the others find, prints its findings and one
line with its count. Exit status: 0 when all are clean, 1 on any
finding, 2 when a tool is missing (the line names its Debian package).
EOF
}

# The checkers and the Debian packages that bring them.
declare -A PACKAGE_OF=(
  [clang-format]=clang-format
  [pyflakes3]=pyflakes3
  [git]=git
  [shellcheck]=shellcheck
)

require_tools() {
  local tool missing=0
  for tool in "${!PACKAGE_OF[@]}"; do
    if ! command -v "$tool" >/dev/null; then
      echo "lint: $tool is missing: apt-get install ${PACKAGE_OF[$tool]}" >&2
      missing=1
    fi
  done
  [ "$missing" -eq 0 ] || exit 2
}

# first_line_matches FILE REGEX: the file's first line matches REGEX.
first_line_matches() {
  local line=
  IFS= read -r line <"$1" || [ -n "$line" ] || return 1
  [[ $line =~ $2 ]]
}

SHELL_SHEBANG='^#![[:space:]]*[^[:space:]]*/(env[[:space:]]+)?(ba)?sh([[:space:]]|$)'
PYTHON_SHEBANG='^#![[:space:]]*[^[:space:]]*/(env[[:space:]]+)?python[0-9.]*([[:space:]]|$)'

# The tracked files of each kind, one name a line.
c_files() {
  git ls-files -- 'src/*.c' 'src/*.cpp' 'src/*.h' \
    'tests/*.c' 'tests/*.cpp' 'tests/*.h'
}

python_files() {
  local file
  {
    git ls-files -- '*.py'
    # The image builder's programs carry no .py suffix.
    while IFS= read -r file; do
      if [ -f "$file" ] && first_line_matches "$file" "$PYTHON_SHEBANG"; then
        echo "$file"
      fi
    done < <(git ls-files -- 'images/*')
  } | sort -u
}

shell_files() {
  local file
  {
    git ls-files -- '*.sh'
    while IFS= read -r file; do
      if [ -f "$file" ] && [ ! -L "$file" ] &&
        first_line_matches "$file" "$SHELL_SHEBANG"; then
        echo "$file"
      fi
    done < <(git ls-files)
  } | sort -u
}

# report NAME FILES COUNT: one line per check; fails when COUNT is not
# 0, and when there were no FILES to check, which is no clean bill but a
# listing that went wrong.
report() {
  echo "lint: $1 ($2 files): $3 finding(s)"
  [ "$2" -gt 0 ] || { echo "lint: $1: no files found to check" >&2; return 1; }
  [ "$3" -eq 0 ]
}

check_format() {
  local files output
  mapfile -t files < <(c_files)
  output=$(clang-format --dry-run --Werror "${files[@]}" 2>&1) || true
  [ -z "$output" ] || printf '%s\n' "$output"
  report format "${#files[@]}" \
    "$(grep -c -e '-Wclang-format-violations' <<<"$output" || true)"
}

check_python() {
  local files output
  mapfile -t files < <(python_files)
  output=$(pyflakes3 "${files[@]}" 2>&1) || true
  [ -z "$output" ] || printf '%s\n' "$output"
  report python "${#files[@]}" "$(grep -c . <<<"$output" || true)"
}

check_shell() {
  local files output
  mapfile -t files < <(shell_files)
  # gcc's format: one line per finding, so the count is the line count.
  output=$(shellcheck -x -S warning -f gcc "${files[@]}" 2>&1) || true
  [ -z "$output" ] || printf '%s\n' "$output"
  report shell "${#files[@]}" "$(grep -c . <<<"$output" || true)"
}

main() {
  case ${1:-} in
    -h | --help) usage; exit 0 ;;
    '') ;;
    *) usage >&2; exit 2 ;;
  esac
  cd "$(dirname "$0")/.."
  require_tools
  local status=0
  check_format || status=1
  check_python || status=1
  check_shell || status=1
  exit "$status"
}

main "$@"
