# Sourced by the scripts here. install_packages PKG...: installs with apt-get those of the
# Debian packages not installed yet (as root, or through sudo), saying which through `log`.
install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing system packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { log "need root (or sudo) to install: ${missing[*]}"; exit 1; }
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
