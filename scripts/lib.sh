# Shared by the scripts in this folder.

require_root() {
    if [ "$(id -u)" != 0 ]; then
        echo "$(basename "$0"): must run as root (it installs packages and makes network namespaces)" >&2
        exit 1
    fi
}

# Installs the Debian packages that are not installed yet, without starting any service.
install_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    # Packages such as nginx must not start their services here.
    local policy=/usr/sbin/policy-rc.d ours=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        ours=1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    [ -z "$ours" ] || rm -f "$policy"
}
