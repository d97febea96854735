#!/usr/bin/env bash
# Debian chroots, for what the machine's own system cannot show: newer
# CPythons (Debian's development distribution), a system with no compiler,
# another CPU (arm64, run by qemu-user through binfmt_misc).
#
#   bash .ci/chroot.sh make NAME
#       makes chroot NAME unless it is made, and prints its folder.
#   bash .ci/chroot.sh run NAME [--bind HOST:DIR]... [--] COMMAND...
#       runs COMMAND as root in a throwaway copy of NAME: an overlay whose
#       writes go when COMMAND ends, in its own mount and process namespaces
#       (nothing it starts outlives it), with HOST bound at DIR, the host's
#       pip configuration and CA bundle copied in and the folders that
#       configuration points to bound read-only; PIP_*, the CA variables,
#       CI and PARVEX_* pass into its environment.
#
# NAME         distribution  CPU    packages (a line that starts with spaces goes on;
#                                   PACKAGE:CPU brings another CPU's files, headers
#                                   for a cross build)
CHROOTS="
sid-build      sid           amd64  g++ cmake ninja-build python3.14-dev python3.14-venv python3.15-dev python3.15-venv gnupg gpg-agent
                                    libpython3.14-dev:arm64 libpython3.15-dev:arm64
sid            sid           amd64  python3.14-venv python3.15-venv gnupg gpg-agent
trixie-build   trixie        amd64  g++ cmake ninja-build python3.13-dev python3.13-venv gnupg gpg-agent
bookworm       bookworm      amd64  python3.11-venv gnupg gpg-agent
bookworm-arm64 bookworm      arm64  python3.11-venv
"
# Chroots are kept in PARVEX_CHROOTS (default /var/cache/parvex-chroots)
# between runs, each under its name and a hash of its line above and of the
# code that makes it: a change to either makes it anew, and one left half made is never used (it is made aside
# and renamed when done). Debian's mirror is the one this machine's apt
# uses, or PARVEX_DEBIAN_MIRROR.
set -euo pipefail

cache=${PARVEX_CHROOTS:-/var/cache/parvex-chroots}

mirror() {
  if [ -n "${PARVEX_DEBIAN_MIRROR:-}" ]; then echo "$PARVEX_DEBIAN_MIRROR"; return; fi
  # One-line ("deb URL suite") and deb822 ("URIs: URL") sources alike.
  local url
  url=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null |
    grep -oE '(https?|file)://[^ ]*/debian/?( |$)' | sed -n '1{s/ //;p;}') || true
  if [ -z "$url" ]; then echo "no Debian mirror in /etc/apt: set PARVEX_DEBIAN_MIRROR" >&2; exit 1; fi
  echo "$url"
}

spec() {  # spec NAME: its distribution, CPU and packages
  local line
  line=$(awk -v n="$1" '/^[^ ]/ { on = $1 == n; if (on) $1 = "" } on { s = s $0 } END { print s }' <<<"$CHROOTS")
  if [ -z "$line" ]; then echo "no chroot named $1 (see .ci/chroot.sh)" >&2; exit 2; fi
  echo "$line"
}

foreign_cpus() {  # lets the kernel run arm64 programs through qemu-user-static
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then update-binfmts --enable qemu-aarch64; fi
}

make_chroot() {
  local name=$1 dir suite arch packages
  read -r suite arch packages <<<"$(spec "$name")"
  dir=$cache/$name-$( (spec "$name"; declare -f make_chroot) | sha256sum | cut -c1-12)
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then foreign_cpus; fi
  if [ -e "$dir/.made" ]; then echo "$dir"; return; fi
  mkdir -p "$cache"
  exec {lock}>"$cache/$name.lock"
  flock "$lock"
  if [ ! -e "$dir/.made" ]; then
    echo "making chroot $name ($suite, $arch) in $dir" >&2
    local start=$SECONDS url
    url=$(mirror)
    rm -rf "$dir.part"
    if ! debootstrap --variant=minbase --arch="$arch" "$suite" "$dir.part" "$url" >"$cache/$name.log" 2>&1; then
      tail -n 30 "$cache/$name.log" >&2
      exit 1
    fi
    # The Release files of a mirror kept as of one day may be past their
    # validity date.
    echo 'Acquire::Check-Valid-Until "false";' >"$dir.part/etc/apt/apt.conf.d/90parvex"
    # shellcheck disable=SC2086
    unshare --mount --pid --fork --propagation private bash -euo pipefail -c '
      mount -t proc proc "$1/proc"
      for cpu in $(printf "%s\n" "${@:2}" | sed -n "s/.*://p" | sort -u); do
        chroot "$1" dpkg --add-architecture "$cpu"
      done
      chroot "$1" apt-get update -qq
      DEBIAN_FRONTEND=noninteractive chroot "$1" apt-get install -y -qq --no-install-recommends "${@:2}" >/dev/null
      chroot "$1" apt-get clean' _ "$dir.part" $packages >>"$cache/$name.log" 2>&1 ||
      { tail -n 30 "$cache/$name.log" >&2; exit 1; }
    touch "$dir.part/.made"
    mv "$dir.part" "$dir"
    echo "made chroot $name in $((SECONDS - start)) s" >&2
  fi
  flock -u "$lock"
  echo "$dir"
}

run_chroot() {
  local name=$1 lower binds=() scratch
  shift
  while [ $# -gt 0 ]; do
    case $1 in
      --bind) binds+=("$2"); shift 2 ;;
      --) shift; break ;;
      *) break ;;
    esac
  done
  lower=$(make_chroot "$name")

  # pip as on the host: its configuration files, the CA bundle they name,
  # and the folders of wheels and indexes they point to.
  local conf=() ro=() path
  for path in /etc/pip.conf /etc/xdg/pip /root/.config/pip /etc/ssl/certs/ca-certificates.crt /etc/resolv.conf; do
    if [ -e "$path" ]; then conf+=("$path"); fi
  done
  while read -r path; do
    path=${path#file://}
    path=${path%/simple}  # a local index links to files beside it
    if [ -d "$path" ]; then ro+=("$path"); fi
  done < <(python3 -m pip config list 2>/dev/null | grep -oE "(file://)?/[^' ]+" | sort -u)
  local pass=() var
  while read -r var; do pass+=("$var=${!var}"); done < <(compgen -e | grep -E '^(PIP_|PARVEX_|CI$|SSL_CERT_FILE$|REQUESTS_CA_BUNDLE$)')

  scratch=$(mktemp -d "${TMPDIR:-/tmp}/parvex-chroot.XXXXXX")
  # shellcheck disable=SC2064
  trap "rm -rf '$scratch'" EXIT
  mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
  unshare --mount --pid --fork --propagation private bash -euo pipefail -c '
    s=$1 lower=$2 nconf=$3 nro=$4 nbind=$5 npass=$6
    shift 6
    root=$s/root
    mount -t overlay overlay -o "lowerdir=$lower,upperdir=$s/upper,workdir=$s/work" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    for p in "${@:1:nconf}"; do mkdir -p "$root$(dirname "$p")"; cp -rL "$p" "$root$(dirname "$p")/"; done
    shift "$nconf"
    for p in "${@:1:nro}"; do mkdir -p "$root$p"; mount --bind -o ro "$p" "$root$p"; done
    shift "$nro"
    for b in "${@:1:nbind}"; do mkdir -p "$root${b#*:}"; mount --bind "${b%%:*}" "$root${b#*:}"; done
    shift "$nbind"
    env=("${@:1:npass}")
    shift "$npass"
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${env[@]}" "$@"
  ' _ "$scratch" "$lower" "${#conf[@]}" "${#ro[@]}" "${#binds[@]}" "${#pass[@]}" \
    "${conf[@]}" "${ro[@]}" "${binds[@]}" "${pass[@]}" "$@"
}

case ${1:-} in
  make) make_chroot "$2" ;;
  run) shift; run_chroot "$@" ;;
  *) sed -n '2,/^set -e/p' "$0" >&2; exit 2 ;;
esac
