# The boot tests' cached base images, shared by run and powercut/run: the Debian mirror they are
# installed from and the image of the current recipe for a release, built when missing. Uses the
# caller's `cache` directory and the helpers of common.sh.
# shellcheck shell=bash disable=SC2154

image_recipe=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/build-image

# The Debian mirror that the host's apt sources name for bookworm; every release's image is
# installed from it (SNAPWRIGHT_BOOT_TEST_MIRROR overrides it).
debian_mirror() {
    if [[ -n ${SNAPWRIGHT_BOOT_TEST_MIRROR:-} ]]; then
        echo "$SNAPWRIGHT_BOOT_TEST_MIRROR"
        return
    fi
    local sources=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
    local file
    for file in "${sources[@]}"; do
        [[ -f $file ]] || continue
        awk '
            # one-line format: deb URI SUITE COMPONENTS
            $1 == "deb" { uri = $2; if (uri ~ /^\[/) uri = $3; if ($0 ~ / bookworm / && uri !~ /security/) { print uri; exit } }
            # deb822 format: stanzas separated by blank lines
            /^URIs:/ { uris = $2 }
            /^Suites:/ && / bookworm( |$)/ { bookworm = 1 }
            /^[[:space:]]*$/ { if (bookworm && uris != "" && uris !~ /security/) { print uris; exit } uris = ""; bookworm = 0 }
            END { if (bookworm && uris != "" && uris !~ /security/) print uris }
        ' "$file" | head -n 1
    done | head -n 1
}

# Sets image_directory to $cache/RELEASE/image-<key> of the current recipe, building the image
# there when it is missing; the key is a hash of build-image, the mirror and the release. Copies
# of an image share the Btrfs UUID, so the caller holds the boot test's lock ($cache/lock) while
# it calls this. Run as root in a private mount namespace.
cached_image() {
    local release=$1 mirror release_cache recipe_key started
    mirror=$(debian_mirror)
    [[ -n $mirror ]] || die "no Debian bookworm mirror in the apt sources; set SNAPWRIGHT_BOOT_TEST_MIRROR"
    # One directory per release, each with its packages and its image of the current recipe.
    release_cache=$cache/$release
    mkdir -p "$release_cache"
    recipe_key=$(cat "$image_recipe" <(echo "$mirror $release") | sha256sum | cut -c1-16)
    image_directory=$release_cache/image-$recipe_key
    [[ -f $image_directory/image.env ]] && return
    log "building the $release base image (recipe $recipe_key)"
    started=$(now)
    rm -rf "$release_cache/building"
    mkdir "$release_cache/building"
    on_exit rm -rf "$release_cache/building"
    "$image_recipe" "$release_cache/building" "$mirror" "$release_cache/packages" "$release"
    # Images of older recipes of this release are of no further use; the other release's stay.
    find "$release_cache" -mindepth 1 -maxdepth 1 -name 'image-*' -exec rm -rf {} +
    mv "$release_cache/building" "$image_directory"
    log "timing: image build $(elapsed_since "$started") s"
}
