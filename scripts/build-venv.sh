# Sourced by the scripts: use_build_venv REPO makes the virtual environment
# REPO/build-venv once (with $PYTHON, default python3), installs the build
# requirements into it and puts its commands first on PATH. Python packages
# never go into the system interpreter, which Debian's refuses anyway.
use_build_venv() {
    local venv="$1/build-venv"
    [[ "${QUILLON_BUILD_VENV:-}" != "$venv" ]] || return 0  # already in use
    # Debian's python3 makes virtual environments and builds extensions only
    # with these installed.
    ensure_apt_packages python3-venv python3-dev
    if [[ ! -x "$venv/bin/python" ]]; then
        echo "== making the virtual environment $venv"
        "${PYTHON:-python3}" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        "meson-python>=0.15" "meson>=1.1" "Cython>=3.0.8" ninja
    PATH="$venv/bin:$PATH"
    QUILLON_BUILD_VENV="$venv"
    export PATH QUILLON_BUILD_VENV
}
