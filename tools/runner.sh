# Shared steps of the runner scripts (tools/run-*), sourced by them:
#   . "$(dirname "$0")/runner.sh"
# POSIX sh. Every function exits the calling script on failure.

runner_start=$(date +%s)
runner_tag=${runner_tag:-$(dpkg --print-architecture 2>/dev/null || echo host)}

# stage LABEL BUDGET CMD...: runs CMD as one stage of at most BUDGET seconds.
# The budgets are several times what a fresh two-core machine needs, so
# that a stage that hangs or slows badly fails with its name instead of
# eating CI's whole time.
stage() {
  _label=$1 _budget=$2
  shift 2
  _at=$(( $(date +%s) - runner_start ))
  echo "---- [$runner_tag] $_label (at $_at s, budget $_budget s)"
  _rc=0
  timeout --foreground --kill-after=30 "$_budget" "$@" || _rc=$?
  if [ "$_rc" -eq 124 ] || [ "$_rc" -eq 137 ]; then
    echo "---- [$runner_tag] $_label: over its budget of $_budget s" >&2
    exit 1
  fi
  [ "$_rc" -eq 0 ] || exit "$_rc"
  echo "---- [$runner_tag] $_label: $(( $(date +%s) - runner_start - _at )) s"
}

# configure PRESET BUILD [CMAKE-ARG...]: configures quietly; the log is shown
# when it fails.
configure() {
  _preset=$1 _build=$2
  shift 2
  mkdir -p "$(dirname "$_build")"
  cmake --preset "$_preset" -B "$_build" "$@" >"$_build.configure.log" 2>&1 \
    || { cat "$_build.configure.log"; exit 1; }
}

# run_pytest PYTHON BUILD [PYTEST-ARG...]: the Python tests under PYTHON with
# the modules of BUILD. Collecting no test at all is a failure too.
run_pytest() {
  _python=$1 _build=$2
  shift 2
  _rc=0
  NOVREL_BUILD_DIR="$_build" "$_python" -m pytest -q -p no:cacheprovider "$@" || _rc=$?
  [ "$_rc" -ne 5 ] || { echo "pytest under $_python collected no tests" >&2; exit 1; }
  [ "$_rc" -eq 0 ] || exit "$_rc"
}
