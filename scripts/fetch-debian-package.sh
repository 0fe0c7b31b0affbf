#!/usr/bin/env bash
# Fetches one Debian package into a folder of its own, from the Debian archives
# this machine's apt already uses, through a private apt configuration (its own
# source list, index lists and cache under STATE), so the machine's apt set-up
# and package lists stay as they are. Needs no root; no input is asked for.
#
#   fetch-debian-package.sh source zlib DEST            # unpacked, Debian's patches applied
#   fetch-debian-package.sh binary musl-dev:arm64 DEST  # the .deb's files unpacked under DEST
#
# STATE is $SFX_APT_STATE, or DEST's parent folder/apt-state. When the newest
# version cannot be fetched (a mirror may hold no source of the security
# updates), the next older one is taken and the fact is said.
set -euo pipefail

if [ $# -ne 3 ] || { [ "$1" != source ] && [ "$1" != binary ]; }; then
  echo "usage: $0 source|binary PACKAGE[:ARCH] DEST" >&2
  exit 2
fi
kind=$1 package=$2 dest=$3
mkdir -p "$(dirname "$dest")"
dest=$(cd "$(dirname "$dest")" && pwd)/$(basename "$dest")
state=${SFX_APT_STATE:-$(dirname "$dest")/apt-state}

# One index per kind and architecture: a source index, or one architecture's packages.
if [ "$kind" = source ]; then
  index=source
else
  index=${package#*:}
  [ "$index" = "$package" ] && index=$(dpkg --print-architecture)
fi
apt_dir=$state/$index
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"

# The Debian archives apt is set up with, as "URI SUITE COMPONENT" (from
# apt-cache policy, which reads every kind of source file the same way).
debian_archives() {
  apt-cache policy | awk '
    $1 ~ /^[0-9]+$/ && $2 ~ /^(https?|file):/ && $NF == "Packages" { uri = $2; where = $3; next }
    uri != "" && $1 == "release" {
      if ($0 ~ /[ ,]o=Debian(,|$)/) {
        n = split(where, parts, "/")
        suite = parts[1]
        for (i = 2; i < n; i++) suite = suite "/" parts[i]
        print uri, suite, parts[n]
      }
      uri = ""
    }' | sort -u
}

keyring=/usr/share/keyrings/debian-archive-keyring.gpg
options=""
[ -r "$keyring" ] && options="signed-by=$keyring"
archives=$(debian_archives)
if [ -z "$archives" ]; then
  echo "$0: apt is set up with no Debian archive" >&2
  exit 1
fi
list=$apt_dir/sources.list
while read -r uri suite component; do
  if [ "$kind" = source ]; then
    echo "deb-src ${options:+[$options] }$uri $suite $component"
  else
    echo "deb [arch=$index${options:+ $options}] $uri $suite $component"
  fi
done <<<"$archives" >"$list.new"

apt_options=(-o "Dir::Etc::SourceList=$list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
             -o "Dir::Etc::Preferences=$apt_dir/preferences" -o "Dir::Etc::PreferencesParts=$apt_dir/parts"
             -o "APT::Sandbox::User=$(id -un)" -o "quiet=1")
[ "$kind" = binary ] && apt_options+=(-o "APT::Architectures::=$index")

# Calls that share STATE take turns; the index is fetched once, and again
# when the archives apt uses have changed.
exec 9>"$apt_dir/lock"
flock 9
if ! cmp -s "$list.new" "$list" || ! ls "$apt_dir/lists/"*Release >/dev/null 2>&1; then
  mv "$list.new" "$list"
  apt-get "${apt_options[@]}" update
else
  rm -f "$list.new"
fi

name=${package%%:*}
if [ "$kind" = source ]; then
  versions=$(apt-cache "${apt_options[@]}" showsrc "$name" | awk '/^Version:/ {print $2}' | sort -u)
else
  versions=$(apt-cache "${apt_options[@]}" madison "$package" | awk -F'|' '{gsub(/ /, "", $2); print $2}' | sort -u)
fi
if [ -z "$versions" ]; then
  echo "$0: no $kind package $package in $(echo "$archives" | awk '{print $1, $2}' | tr '\n' ' ')" >&2
  exit 1
fi
# Newest first, in Debian's version order.
ordered=$(for v in $versions; do echo "$v"; done | while read -r v; do
  rank=0
  for w in $versions; do dpkg --compare-versions "$v" lt "$w" && rank=$((rank + 1)); done
  echo "$rank $v"
done | sort -n | cut -d' ' -f2)

download=$(mktemp -d "$apt_dir/download.XXXXXX")
trap 'rm -rf "$download"' EXIT
newest=$(echo "$ordered" | head -n1)
fetched=""
for version in $ordered; do
  rm -rf "${download:?}"/*
  if [ "$kind" = source ]; then
    (cd "$download" && apt-get "${apt_options[@]}" source --download-only "$name=$version") && fetched=$version
  else
    (cd "$download" && apt-get "${apt_options[@]}" download "$package=$version") && fetched=$version
  fi
  [ -n "$fetched" ] && break
  echo "$0: $package $version could not be fetched; trying an older version" >&2
done
if [ -z "$fetched" ]; then
  echo "$0: no version of $package could be fetched" >&2
  exit 1
fi
[ "$fetched" != "$newest" ] && echo "$0: using $package $fetched (the newest, $newest, could not be fetched)" >&2

rm -rf "$dest"
if [ "$kind" = source ]; then
  # apt has checked the files against the signed index; dpkg-source would
  # only complain that it has no key for the uploader's signature.
  dpkg-source --no-check -x "$download"/*.dsc "$dest" >/dev/null
else
  dpkg-deb -x "$download"/*.deb "$dest"
fi
echo "$package $fetched" >"$dest/.fetched-version"
echo "fetched $kind package $package $fetched into $dest"
