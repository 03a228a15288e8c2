# Sourced by run.sh, test.sh and screenshots.sh: the one configuration they
# give a build folder, so that none of them rebuilds what another has built.
#   configure_build DIR [extra cmake options]
configure_build() {
  local dir=$1
  shift
  cmake -S "$(dirname "${BASH_SOURCE[0]}")/.." -B "$dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_WERROR=ON "$@" >/dev/null
}
