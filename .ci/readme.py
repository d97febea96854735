"""Prints the command a section of the README gives a new user to type (the
first ```sh block under its heading), so that .ci/run runs it as printed.

    python3 .ci/readme.py Install|Tests
"""

import pathlib
import re
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"

section = re.search(rf"^## {re.escape(sys.argv[1])}\n(.*?)(?=^## )", README.read_text(), re.M | re.S)
block = section and re.search(r"^```sh\n(.*?)^```", section.group(1), re.M | re.S)
if not block:
    sys.exit(f"README.md has no ```sh block under '## {sys.argv[1]}'")
print(block.group(1), end="")
