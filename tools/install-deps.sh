#!/bin/sh
# Installs the Debian packages of tools/packages.txt that are missing; quick when none is.
set -eu
cd "$(dirname "$0")/.."

wanted=$(sed -e 's/#.*//' tools/packages.txt | tr -s ' \n' ' ')
installed=$(dpkg-query -W -f '${Package} ${db:Status-Status}\n' $wanted 2>/dev/null \
    | awk '$2 == "installed" { print $1 }')
missing=""
for package in $wanted; do
    echo "$installed" | grep -qx "$package" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing:$missing"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
