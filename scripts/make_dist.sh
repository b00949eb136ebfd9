#!/bin/bash
# Builds a signed distribution (.run) of an installation tree: a short text
# preamble, the payload marker, then a gzip'd tar of the tree with
# dist_manifest.json (SHA-256 of every file) and dist_manifest.sig (Ed25519
# over the manifest's exact bytes) at the top.
#
#   scripts/make_dist.sh -k key.pem -i KEYID -v VERSION -o out.run [-p product] TREE
#
# Make a key with: openssl genpkey -algorithm ed25519 -out key.pem
# Its public half (for the updater's key table, ZQ_RELEASE_PUBKEY):
#   openssl pkey -in key.pem -pubout -outform DER | tail -c 32 | xxd -p -c 64
set -euo pipefail

usage() {
    echo "usage: $0 -k key.pem -i keyid -v version -o out.run [-p product] tree" >&2
    exit 2
}
key= keyid= version= out= product=zqstack
while getopts "k:i:v:o:p:" opt; do
    case $opt in
    k) key=$OPTARG ;; i) keyid=$OPTARG ;; v) version=$OPTARG ;;
    o) out=$OPTARG ;; p) product=$OPTARG ;; *) usage ;;
    esac
done
shift $((OPTIND - 1))
[[ $# -eq 1 && -n $key && -n $keyid && -n $version && -n $out ]] || usage
tree=$1
[[ $keyid =~ ^[0-9a-f]{8}$ ]] || { echo "$0: key id must be 8 hex digits" >&2; exit 2; }
[[ $version =~ ^[A-Za-z0-9._+-]{1,127}$ ]] || { echo "$0: bad version" >&2; exit 2; }
[[ $product =~ ^[a-z]{1,32}$ ]] || { echo "$0: bad product" >&2; exit 2; }
[[ -d $tree ]] || { echo "$0: $tree is not a folder" >&2; exit 2; }

# The updater refuses links and odd names, so refuse them here first.
if [[ -n $(find "$tree" -mindepth 1 ! -type f ! -type d -print -quit) ]]; then
    echo "$0: $tree holds something other than files and folders" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

{
    printf '{"product":"%s","version":"%s","files":[' "$product" "$version"
    sep=
    while IFS= read -r -d '' f; do
        rel=${f#./}
        if [[ ! $rel =~ ^[A-Za-z0-9._+@/-]+$ || $rel =~ (^|/)- || $rel =~ (^|/)\.\.?(/|$) ]]; then
            echo "$0: unsupported file name: $rel" >&2
            exit 1
        fi
        case $rel in dist_manifest.json | dist_manifest.sig) continue ;; esac
        h=$(sha256sum <"$tree/$rel" | cut -c1-64)
        printf '%s\n{"p":"%s","h":"%s"}' "$sep" "$rel" "$h"
        sep=,
    done < <(cd "$tree" && find . -type f -print0 | LC_ALL=C sort -z)
    printf '\n]}\n'
} >"$work/dist_manifest.json"

openssl pkeyutl -sign -inkey "$key" -rawin -in "$work/dist_manifest.json" -out "$work/sig.bin"
printf 'key_id=%s\nsig=%s\n' "$keyid" "$(od -An -tx1 -v "$work/sig.bin" | tr -d ' \n')" >"$work/dist_manifest.sig"

{
    printf '#!/bin/sh\n# %s %s distribution: install with zqupdate full <file> %s\nexit 1\n' \
        "$product" "$version" "$product"
    printf '__ZQSTACK_PAYLOAD__\n'
    tar -czf - --owner=0 --group=0 --numeric-owner --exclude=./dist_manifest.json \
        --exclude=./dist_manifest.sig -C "$work" dist_manifest.json dist_manifest.sig -C "$tree" .
} >"$out.part"
mv "$out.part" "$out"
echo "$out: $product $version, $(grep -c '"p"' "$work/dist_manifest.json") files"
