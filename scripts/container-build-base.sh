#!/usr/bin/env bash
# Makes the build stage's base image from Debian's packages, for machines that
# reach Debian's mirror but no image registry: a minimal bookworm with g++, cmake
# and make, imported into podman as localhost/karst-build-base:bookworm.
# Then: podman build --format docker \
#         --build-arg BUILD_IMAGE=localhost/karst-build-base:bookworm -t karst-server .
# Usage: scripts/container-build-base.sh [MIRROR]   (needs root, debootstrap, podman)
set -euo pipefail
image=localhost/karst-build-base:bookworm
mirror="${1:-http://deb.debian.org/debian}"
if podman image exists "$image"; then
  echo "$image is already there"
  exit 0
fi
root="$(mktemp -d /tmp/karst-build-base-XXXXXX)"
trap 'rm -rf "$root"' EXIT
debootstrap --variant=minbase --include=g++,cmake,make,binutils bookworm "$root" "$mirror" >/dev/null
rm -rf "$root"/var/cache/apt/archives/*.deb "$root"/var/lib/apt/lists/*
tar -C "$root" -c . | podman import --change 'CMD ["/bin/bash"]' - "$image" >/dev/null
echo "made $image"
