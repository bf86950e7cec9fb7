# Shared by the scripts: Debian packages, the Firebird server and its test user.
set -euo pipefail

VARLO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export VARLO_TEST_USER=${VARLO_TEST_USER:-VARLO_TEST}
export VARLO_TEST_PASSWORD=${VARLO_TEST_PASSWORD:-varlo-test-pw}
FB_CONF=/etc/firebird/3.0/firebird.conf
FB_RUN=/run/firebird3.0
FB_PIDFILE=$FB_RUN/firebird.pid

log() { printf '== %s\n' "$*" >&2; }

# Installs the Debian packages that are missing: one update, one install.
ensure_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${VARLO_APT_UPDATED:-}" ]; then
    apt-get update -qq
    VARLO_APT_UPDATED=1
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The libraries the benchmark measures against; never dependencies of the package. A peer that
# cannot be installed is skipped with a one-line reason.
SOCI_PACKAGES=(libsoci-dev libsoci-firebird4.0 libboost-dev)
QT_PACKAGES=(qtbase5-dev libqt5sql5-ibase)
ensure_peer_packages() {
  ensure_packages "${SOCI_PACKAGES[@]}" 2>/dev/null ||
    log "skipping SOCI: ${SOCI_PACKAGES[*]} could not be installed"
  ensure_packages "${QT_PACKAGES[@]}" 2>/dev/null ||
    log "skipping Qt: ${QT_PACKAGES[*]} could not be installed"
}

BUILD_PACKAGES=(build-essential cmake pkg-config firebird-dev firebird3.0-server-core)
TEST_PACKAGES=(libgtest-dev libgmock-dev firebird3.0-utils firebird3.0-server clang
  libclang-rt-14-dev valgrind clang-format git firebird3.0-examples lintian
  qtbase5-dev xvfb xauth)

server_listening() { (exec 3<>/dev/tcp/127.0.0.1/3050) 2>/dev/null; }

# Starts the Firebird server as user firebird on 127.0.0.1:3050 unless it already listens.
start_server() {
  if server_listening; then
    log "Firebird server already listening on 127.0.0.1:3050"
    return 0
  fi
  grep -Eq '^[[:space:]]*RemoteBindAddress[[:space:]]*=' "$FB_CONF" ||
    echo 'RemoteBindAddress = 127.0.0.1' >>"$FB_CONF"
  install -d -o firebird -g firebird -m 0770 "$FB_RUN" /tmp/firebird
  rm -f "$FB_PIDFILE"
  log "starting the Firebird server"
  start-stop-daemon --start --quiet --chuid firebird --pidfile "$FB_PIDFILE" \
    --exec /usr/sbin/fbguard -- -daemon -forever -pidfile "$FB_PIDFILE"
  for _ in $(seq 1 100); do
    server_listening && return 0
    sleep 0.2
  done
  log "the Firebird server did not start listening on 127.0.0.1:3050"
  return 1
}

# Creates (or resets) the test user through the server, as SYSDBA.
ensure_test_user() {
  local sysdba_password
  # shellcheck disable=SC1091
  sysdba_password=$(. /etc/firebird/3.0/SYSDBA.password && echo "$ISC_PASSWORD")
  local dir
  dir=$(mktemp -d /tmp/varlo-setup.XXXXXX)
  chmod 0777 "$dir"
  isql-fb -q >/dev/null <<SQL
SET BAIL ON;
CREATE DATABASE 'localhost:$dir/setup.fdb' USER 'SYSDBA' PASSWORD '$sysdba_password';
CREATE OR ALTER USER $VARLO_TEST_USER PASSWORD '$VARLO_TEST_PASSWORD' USING PLUGIN Srp;
COMMIT;
DROP DATABASE;
SQL
  rm -rf "$dir"
  log "test user $VARLO_TEST_USER ready"
}
