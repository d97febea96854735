#!/usr/bin/env bash
# Formatting and linting: clang-format with the checked-in .clang-format over
# every C++ file, and ruff with pyproject.toml's [tool.ruff] over every
# Python file. Both at fixed versions, in a virtual environment of their own.
#
# To fix what it finds:  clang-format -i $(git ls-files '*.cpp' '*.hpp')
#                        ruff check --fix .
set -euo pipefail
cd "$(dirname "$0")/.."

venv=build/lint-venv
if [ ! -x "$venv/bin/ruff" ] || [ ! -x "$venv/bin/clang-format" ]; then
  python3 -m venv --clear "$venv"
  "$venv/bin/pip" install -q ruff==0.17.6 clang-format==19.1.7
fi

mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' '*.h')
echo "clang-format $("$venv/bin/clang-format" --version | sed 's/.*version //'): ${#cxx[@]} files"
"$venv/bin/clang-format" --style=file --dry-run --Werror "${cxx[@]}"
echo "ruff $("$venv/bin/ruff" --version | sed 's/ruff //')"
"$venv/bin/ruff" check --no-cache .
