#!/usr/bin/env bash
# Installs the Debian packages that building and testing vornak need; quiet when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libpugixml-dev libgtest-dev liblzf-dev nlohmann-json3-dev libcli11-dev zlib1g-dev libxml2-utils libdeflate-dev libisal-dev
  # the durable-output tests watch the writer's system calls and inject failures into them
  strace
  # the free-threaded interpreter is built from source and needs these
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev uuid-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
