# Shared by the top-level scripts.

# ensure_packages pkg...: installs the Debian packages that are missing
# (apt-get update only when something must be installed).
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
      missing+=("$p")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# install_browser_test BUILD_DIR: the browser test's driver (playwright-core,
# pinned by tests/browser/package-lock.json) into BUILD_DIR/browser, again
# only when the lock file changed.
install_browser_test() {
  local dir="$1/browser"
  mkdir -p "$dir"
  if ! cmp -s tests/browser/package-lock.json "$dir/package-lock.json" || [ ! -d "$dir/node_modules/playwright-core" ]; then
    cp tests/browser/package.json tests/browser/package-lock.json "$dir/"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  fi
}
