#!/usr/bin/env bash
# The documentation site, built as the README says, with every warning an
# error. The package is already installed; this adds the docs extra's tools.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 - <<'PY' | xargs python3 -m pip install -q
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))
PY
python3 -m sphinx -W --keep-going -b html docs docs/_build/html
