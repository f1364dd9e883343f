#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the machine lacks.
# Sourced by run.sh and test.sh.

torvik_packages=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-serialport-dev
                 libgtest-dev ser2net fonts-wine xvfb xdotool xclip strace zsh fish python3-jsonschema ${TORVIK_EXTRA_PACKAGES:-})

torvik_install_missing() {
    local missing=()
    for p in "${torvik_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

torvik_install_missing
