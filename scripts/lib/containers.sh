# What the container tests share; sourced by scripts/trixie-test,
# scripts/desktop-lock-test and scripts/package-test.

# The machine's own Debian mirror, as apt is set up here.
mirror() {
  awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null ||
    awk '/^deb / {print $2; exit}' /etc/apt/sources.list
}

# A minimal root of `release` in `dir`, with `packages` (comma-separated)
# and apt pointed at this machine's mirror for that release and its updates.
build_rootfs() { # release, dir, packages
  local release=$1 dir=$2 packages=$3
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  debootstrap --variant=minbase --include="$packages" "$release" "$dir" "$(mirror)"
  rm -f "$dir/etc/apt/sources.list"
  printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\nSigned-By: %s\n' \
    "$(mirror)" "$release" "$release" /usr/share/keyrings/debian-archive-keyring.gpg \
    > "$dir/etc/apt/sources.list.d/debian.sources"
}

# This machine's release's systemd-nspawn, unpacked into `dir`, not
# installed: nothing else here needs it. Prints the program's path.
unpacked_nspawn() { # dir
  (cd "$1" && { apt-get download -qq systemd-container 2>/dev/null ||
    { apt-get update -qq && apt-get download -qq systemd-container 2>/dev/null; }; })
  dpkg-deb -x "$1"/systemd-container_*.deb "$1/nspawn"
  echo "$1/nspawn/usr/bin/systemd-nspawn"
}

# Runs the command until it succeeds, for at most `seconds`; fails after.
wait_for() { # seconds, command...
  local limit=$1; shift
  for _ in $(seq $((limit * 10))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
