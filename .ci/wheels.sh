#!/usr/bin/env bash
# The packages a user installs: the sdist, and manylinux wheels for x86-64
# and aarch64 for CPython 3.11 to 3.15, built from that sdist by zig's clang
# against glibc 2.28's symbols (with LLVM's libc++ linked in) for the
# baseline CPU of each (the vector paths are chosen at run time), then
# checked; all are left in wheelhouse/.
#
# CPython 3.11-3.13 are this machine's (pyenv); 3.14 and 3.15 are Debian's,
# in the sid-build chroot (.ci/chroot.sh). An aarch64 wheel is built by the
# same interpreter, told the target's platform and suffix.
#
# Checks, each CPython built once:
#   - `auditwheel show` places every wheel at manylinux_2_28 or older, and
#     `auditwheel repair` tags it so;
#   - the whole suite from the installed x86-64 wheels where no compiler is:
#     3.11 (Debian bookworm), 3.14 and 3.15 (Debian sid) in chroots, 3.12
#     in a virtual environment of this machine's;
#   - the sdist, built by Debian trixie's g++ and CPython 3.13 in a chroot,
#     and the whole suite against it;
#   - the x86-64 3.11 wheel on a CPU without AVX (qemu-x86_64 -cpu Westmere)
#     and with PARVEX_PORTABLE=1, and the aarch64 3.11 wheel in a Debian
#     arm64 chroot run by qemu-user: the tests of reading, writing and
#     round trips.
# Suites run PARVEX_WHEEL_JOBS (default 2) at a time, each into its log.
#
#   PARVEX_WHEELS_BUILD  build folder (default build/wheels)
#   PARVEX_CI_CACHE      kept between runs: the build tools, zig's cache
#                        (default /var/cache/parvex-ci; .ci/zig.sh)
#   PARVEX_WHEELS_CHECK  0 to build only, "only" to check what the last run
#                        built
# Needs debootstrap, qemu-user-static and binfmt-support (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."

build=$PWD/${PARVEX_WHEELS_BUILD:-build/wheels}
jobs=${PARVEX_WHEEL_JOBS:-2}
out=$PWD/wheelhouse
pythons_here=(3.11 3.12 3.13)
pythons_sid=(3.14 3.15)
arches=(x86_64 aarch64)
# The tests of reading, writing and round trips.
CORE_TESTS=(tests/test_parse.py tests/test_writers.py tests/test_roundtrip.py tests/test_base64.py)

interpreter() {  # this machine's CPython 3.N
  local found
  found=$(compgen -G "/root/.pyenv/versions/$1.*/bin/python$1" | sort -V | tail -n 1) || true
  if [ -z "$found" ]; then found=$(command -v "python$1") || { echo "no CPython $1 here" >&2; exit 1; }; fi
  echo "$found"
}

source .ci/zig.sh
# What each interpreter builds with (pyproject.toml asks for scikit-build-core).
BUILD_REQUIRES="scikit-build-core==1.1.2 cmake==4.4.5 ninja==1.13.0"

src=$build/src
build_all() {
  rm -rf "$build" "$out"
  mkdir -p "$build/raw" "$out"
  for arch in "${arches[@]}"; do
    # Debian's Python.h takes its pyconfig.h from the CPU's folder under
    # /usr/include, which a cross compiler must not search: build/pyinc
    # links to those folders alone (made where the build runs).
    zig_toolchain "$build/bin" "$arch-linux-gnu.2.28" "$([ "$arch" = "$(uname -m)" ] || echo Linux)" "$arch" \
      -mcpu=baseline -idirafter "$build/pyinc" -g0 -s
  done

  # MARK: sdist
  start=$SECONDS
  "$tools/bin/python" -m build --sdist --outdir "$out" . >"$build/sdist.log" 2>&1 || { tail -n 30 "$build/sdist.log"; exit 1; }
  sdist=$(echo "$out"/parvex-*.tar.gz)
  mkdir -p "$src"
  tar -xzf "$sdist" -C "$src" --strip-components=1
  echo "sdist: ${sdist##*/} ($((SECONDS - start)) s)"

  # MARK: wheels
  # build_wheels PYTHON...: each interpreter (run where this script's folders
  # are at the same paths) builds a wheel for each CPU from the sdist's tree.
  # Written out whole, for the sid chroot to run too.
  # The build runs in an environment made beforehand (pip would otherwise
  # fetch the build tools, CMake's included, for the target's platform).
  cat >"$build/build_wheels.sh" <<EOF
set -euo pipefail
rm -rf "$build/pyinc"
for dir in /usr/include/*-linux-gnu/python3*; do
  [ -d "\$dir" ] || continue
  mkdir -p "$build/pyinc/\$(basename "\$(dirname "\$dir")")"
  ln -s "\$dir" "$build/pyinc/\${dir#/usr/include/}"
done
for interpreter in "\$@"; do
  venv=$build/env-\${interpreter##*/}
  "\$interpreter" -m venv "\$venv"
  "\$venv/bin/pip" install -q $BUILD_REQUIRES
  py=\$venv/bin/python
  suffix=\$("\$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  for arch in ${arches[*]}; do
    start=\$SECONDS
    log=$build/\${interpreter##*/}-\$arch.log
    env=()
    if [ "\$arch" != "\$(uname -m)" ]; then
      env=(_PYTHON_HOST_PLATFORM=linux-\$arch SETUPTOOLS_EXT_SUFFIX=\${suffix/\$(uname -m)/\$arch})
    fi
    env "\${env[@]}" "\$py" -m pip wheel -q --no-deps --no-build-isolation -w "$build/raw" "$src" \\
      -C build-dir="$build/{wheel_tag}" -C cmake.define.CMAKE_TOOLCHAIN_FILE="$build/bin/\$arch-linux-gnu.2.28.cmake" \\
      >"\$log" 2>&1 || { tail -n 40 "\$log"; exit 1; }
    echo "built \${interpreter##*/} \$arch (\$((SECONDS - start)) s)"
  done
done
EOF
  here=()
  for v in "${pythons_here[@]}"; do here+=("$(interpreter "$v")"); done
  bash "$build/build_wheels.sh" "${here[@]}"
  sid_pythons=()
  for v in "${pythons_sid[@]}"; do sid_pythons+=("python$v"); done
  bash .ci/chroot.sh run sid-build --bind "$PWD:$PWD" --bind "$ci_cache:$ci_cache" -- \
    env ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" bash "$build/build_wheels.sh" "${sid_pythons[@]}"

  # Tagged with the oldest manylinux the symbols they use allow, which must
  # be 2.28 or older.
  for wheel in "$build"/raw/*.whl; do
    "$tools/bin/python" -m auditwheel show "$wheel" 2>/dev/null | tr '\n' ' ' | sed 's/  */ /g; s/^ //'
    echo
    PATH=$tools/bin:$PATH "$tools/bin/python" -m auditwheel repair --plat auto -w "$out" "$wheel" \
      >"$build/repair.log" 2>&1 || { tail -n 20 "$build/repair.log"; exit 1; }
  done
  echo "wheelhouse:"
  for f in "$out"/*; do
    echo "  ${f##*/}"
    glibc=$(sed -n 's/.*-manylinux_2_\([0-9]*\)_.*/\1/p' <<<"${f##*/}")
    if [[ $f == *.whl && ! ${glibc:-99} -le 28 ]]; then echo "${f##*/} is not manylinux_2_28 or older" >&2; exit 1; fi
    # Stripped by the linker (-s): the install's strip, the host's, cannot
    # strip another CPU's library in every chroot, which left 5 MB of
    # debugging information in some aarch64 wheels.
    if [[ $f == *.whl ]] && ! "$tools/bin/python" -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
sys.exit(any(b".symtab" in z.read(n) for n in z.namelist() if ".so" in n))' "$f"; then
      echo "${f##*/}: its extension is not stripped" >&2
      exit 1
    fi
  done
  if [ "$(compgen -G "$out/*.whl" | wc -l)" != $((${#arches[@]} * (${#pythons_here[@]} + ${#pythons_sid[@]}))) ]; then
    echo "a wheel is missing" >&2
    exit 1
  fi
}
if [ "${PARVEX_WHEELS_CHECK:-1}" != only ]; then build_all; fi
if [ "${PARVEX_WHEELS_CHECK:-1}" = 0 ]; then exit 0; fi

# MARK: checks
wheel_for() {  # wheel_for TAG ARCH: the repaired wheel
  compgen -G "$out/parvex-*-$1-$1-*_$2.whl"
}
# suite_script PYTHON PACKAGE [PYTEST ARGS...]: the commands that install
# PACKAGE (a wheel or the sdist's tree) with its tests' extras into a
# virtual environment that has nothing else, in a chroot that has no
# compiler unless PACKAGE needs one, and run pytest from the sdist's tree
# (whose tests import the installed parvex).
suite_script() {
  local py=$1 package=$2 extras=test,bench,dask,crypto
  shift 2
  if [ $# -gt 0 ]; then extras=test; fi
  cat <<EOF
set -euo pipefail
for cc in cc c++ gcc g++ clang; do
  if command -v \$cc >/dev/null && [ "$package" != "$src" ]; then echo "\$cc is here" >&2; exit 1; fi
done
"$py" -m venv /tmp/venv
export PATH=/tmp/venv/bin:\$PATH
pip install -q "$package[$extras]"
cd "$src"
python -c 'import parvex, sys; print("parvex from", parvex.__file__, "on", sys.version.split()[0])'
python -m pytest -p no:cacheprovider -q -rfEs $*
EOF
}
in_chroot() {  # in_chroot NAME PYTHON PACKAGE [PYTEST ARGS...]
  local name=$1
  shift
  bash .ci/chroot.sh run "$name" --bind "$PWD:$PWD" -- bash -c "$(suite_script "$@")"
}
# In a virtual environment of this machine's CPython 3.N.
here() {  # here 3.N WHEEL
  local venv=$build/venv-$1
  "$(interpreter "$1")" -m venv "$venv"
  export PATH=$venv/bin:$PATH
  pip install -q "$2[test,bench,dask,crypto]"
  cd "$src"
  python -m pytest -p no:cacheprovider -q -rfEs
}
# qemu-user emulates a CPU of 2010 (SSE4.2, no AVX): the vector paths must
# not be chosen, and no other code may use their instructions.
no_avx() {  # no_avx WHEEL
  local venv=$build/venv-no-avx qemu
  qemu=$(command -v qemu-x86_64-static qemu-x86_64 | head -n 1)
  "$(interpreter 3.11)" -m venv "$venv"
  "$venv/bin/pip" install -q "$1[test]"
  cd "$src"
  "$qemu" -cpu Westmere "$venv/bin/python" -m pytest -p no:cacheprovider -q "${CORE_TESTS[@]}"
  PARVEX_PORTABLE=1 "$venv/bin/python" -m pytest -p no:cacheprovider -q "${CORE_TESTS[@]}"
}

pending=()
check() {  # check NAME COMMAND...: runs in the background, PARVEX_WHEEL_JOBS at a time
  local name=$1
  shift
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  ( start=$SECONDS
    if "$@" >"$build/check-$name.log" 2>&1; then status=passed; else status=FAILED; fi
    echo "$status: $name ($((SECONDS - start)) s): $(tail -n 1 "$build/check-$name.log")"
    [ $status = passed ] ) &
  pending+=("$!:$name")
}

export PARVEX_REQUIRE="gnupg bench dask crypto"
# The longest first: the arm64 suite runs under emulation.
check "cp311 aarch64 wheel, bookworm arm64 (qemu)" in_chroot bookworm-arm64 python3.11 \
  "$(wheel_for cp311 aarch64)" "${CORE_TESTS[@]}"
check "cp314 wheel, sid" in_chroot sid python3.14 "$(wheel_for cp314 x86_64)"
check "cp315 wheel, sid" in_chroot sid python3.15 "$(wheel_for cp315 x86_64)"
check "sdist, trixie, g++" in_chroot trixie-build python3.13 "$src"
check "cp312 wheel, here" here 3.12 "$(wheel_for cp312 x86_64)"
check "cp311 wheel, bookworm" in_chroot bookworm python3.11 "$(wheel_for cp311 x86_64)"
check "cp311 wheel, no AVX (qemu), portable" no_avx "$(wheel_for cp311 x86_64)"

failed=0
for p in "${pending[@]}"; do
  if ! wait "${p%%:*}"; then
    failed=1
    log=$build/check-${p#*:}.log
    # Warnings can fill a log's tail: the failures' own reports come first.
    echo "--- ${p#*:}'s failures:"
    sed -n '/^=* FAILURES =*$/,/^=* warnings summary/p' "$log" | head -n 150
    echo "--- the end of ${p#*:}'s log:"
    tail -n 40 "$log"
  fi
done
exit $failed
