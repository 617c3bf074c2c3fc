#!/usr/bin/env bash
# Starts the Debian PostgreSQL cluster and gives the calling OS user a role, so that the
# service and the tests connect with integrated security (peer authentication, no password).
set -euo pipefail

ver=$(ls /usr/lib/postgresql | sort -n | tail -1)
cluster=main
if ! pg_lsclusters -h | awk '{print $1" "$2}' | grep -qx "$ver $cluster"; then
  pg_createcluster "$ver" "$cluster"
fi
if ! pg_lsclusters -h | awk -v v="$ver" -v c="$cluster" '$1==v && $2==c {print $4}' | grep -q online; then
  pg_ctlcluster "$ver" "$cluster" start
fi
for _ in $(seq 1 60); do
  pg_isready -q && break
  sleep 0.5
done
pg_isready

user=$(id -un)
if [ "$user" != postgres ]; then
  as_postgres() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else sudo -u postgres "$@"; fi; }
  if [ "$(as_postgres psql -tAc "SELECT 1 FROM pg_roles WHERE rolname='$user'")" != 1 ]; then
    as_postgres createuser --superuser "$user"
  fi
fi
echo "start-postgres: cluster $ver/$cluster online, role $user ready"
