# Sourced by the scripts that run the Python suite against a module of their
# own build: a copy of the package beside that module, and a check that the
# interpreter they run imports it rather than an installed one.

# stage_package BUILD: the package with BUILD's module, in BUILD/pkg.
stage_package() {
  pkg="$1/pkg"
  rm -rf "$pkg"
  mkdir -p "$pkg/parvex"
  cp -r bindings/python/parvex/. "$pkg/parvex/"
  rm -f "$pkg"/parvex/_parvex.*.so
  cp "$1"/_parvex.*.so "$pkg/parvex/"
}

# check_loaded WHAT COMMAND...: COMMAND (an interpreter) imports the staged module.
check_loaded() {
  local what=$1 loaded
  shift
  loaded=$("$@" -c 'import parvex._parvex as m; print(m.__file__)')
  case "$loaded" in
    "$PWD/$pkg/parvex/"*) echo "$what module: $loaded" ;;
    *) echo "the suite would load $loaded, not the $what build" >&2; exit 1 ;;
  esac
}
