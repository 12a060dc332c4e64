# The boot tests' cached base images, shared by run and powercut/run: the image of the current
# recipe for a release, built when missing. Uses the
# caller's `cache` directory and the helpers of common.sh.
# shellcheck shell=bash disable=SC2154

image_recipe=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/build-image

# Sets image_directory to $cache/RELEASE/image-<key> of the current recipe, building the image
# there when it is missing; the key is a hash of build-image, the mirror and the release. Copies
# of an image share the Btrfs UUID, so the caller holds the boot test's lock ($cache/lock) while
# it calls this. Run as root in a private mount namespace.
cached_image() {
    local release=$1 mirror release_cache recipe_key started
    # The host's sources name the mirror for bookworm; a trixie image is installed from it too.
    mirror=$(debian_mirror bookworm)
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
