# Shared by the project's scripts: where things are and how a build is made.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# NIMBREL_JOBS caps the parallel jobs on a shared machine.
jobs=${NIMBREL_JOBS:-$(nproc 2>/dev/null || echo 2)}

# configure_and_build <build dir> <cmake args...>
configure_and_build() {
  local dir=$1; shift
  cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$root/$dir" -j "$jobs"
}
