# Sourced by the scripts that set a machine up: install_missing installs
# the Debian packages named that are not installed yet, as root, or through
# sudo for a user who isn't. A name with :arm64 adds that architecture.
install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || {
      echo "$0: these packages are missing, and installing them needs root or sudo: ${missing[*]}" >&2
      return 1
    }
    as_root=(sudo)
  fi
  case " ${missing[*]}" in
    *:arm64*) "${as_root[@]}" dpkg --add-architecture arm64 ;;
  esac
  echo "$0: installing ${missing[*]}" >&2
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
}

# What building tapsum needs.
BUILD_PACKAGES=(g++ make cmake pkg-config libfftw3-dev)
