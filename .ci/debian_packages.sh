# Sourced by the CI steps: installs from Debian the packages of a list that
# are missing, through sudo unless root, saying which and why.
#
#     install_debian_packages "WHY" PACKAGE...    # WHY may be empty
install_debian_packages() {
    local why=$1 missing=() package sudo=""
    shift
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "Installing from Debian: ${missing[*]}"
    [ -z "$why" ] || echo "  ($why)"
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}
