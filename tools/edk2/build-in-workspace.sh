# Sourced by the EDK II checks: edk2_build WORKSPACE TREE LOG BUILD-ARGUMENTS... runs EDK II's
# `build` in WORKSPACE with Debian's edk2 TREE (from setup.sh) behind it in PACKAGES_PATH and
# its BaseTools, nice'd, output to LOG; fails with LOG's tail.
edk2_build() {
  local ws=$1 tree=$2 log=$3
  shift 3
  (
    export WORKSPACE="$ws" PACKAGES_PATH="$ws:$tree" EDK_TOOLS_PATH="$tree/BaseTools" CONF_PATH="$ws/Conf"
    mkdir -p "$CONF_PATH"
    cd "$tree"
    # edksetup.sh reads its own arguments from the caller's, and unset variables.
    local args=("$@")
    set -- && set +u
    . ./edksetup.sh >/dev/null
    set -u
    cd "$ws"
    nice -n 15 build "${args[@]}"
  ) >"$log" 2>&1 || { tail -n 30 "$log"; return 1; }
}
