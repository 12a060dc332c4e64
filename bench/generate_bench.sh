#!/bin/bash
# Times `snapwright generate` on a throw-away Btrfs machine with many read-only snapshots that
# share three kernel sets of realistic size: a first run and a run with nothing to do, each with
# its peak memory, against the least work any such run must do (hashing the deployed objects
# twice and one `btrfs subvolume show` per snapshot), measured on the same machine.
#
#   bench/generate_bench.sh [path/to/snapwright] [snapshot counts...]   (default: 100 1000)
#
# Needs root, loop devices, btrfs-progs, e2fsprogs, openssl and GNU time. Everything happens in
# a private mount namespace under a temporary directory that is removed at the end.
set -euo pipefail

binary=${1:-build/snapwright}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(100 1000)
binary=$(realpath "$binary")

if [ "${SNAPWRIGHT_BENCH_INNER:-}" != 1 ]; then
    [ "$(id -u)" = 0 ] || { echo "generate_bench: needs root" >&2; exit 2; }
    export SNAPWRIGHT_BENCH_INNER=1
    exec unshare --mount --propagation private "$0" "$binary" "${counts[@]}"
fi

kernel_bytes=$((15 << 20))
initrd_bytes=$((60 << 20))

work=$(mktemp -d /tmp/snapwright-bench-XXXXXX)
trap 'umount -R "$work/root" 2>/dev/null; umount "$work/top" 2>/dev/null; rm -rf "$work"' EXIT

# Wall seconds and peak resident KiB of one command, as "seconds kib".
measure() {
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" 2>"$work/err" || {
        cat "$work/out" "$work/err" >&2
        return 1
    }
    cat "$work/time"
}

# The throw-away machine of tools/sandbox-lib.sh, larger, with an identity and a configuration
# of its own.
build_machine() {
    . "$(dirname "$(realpath "$0")")/../tools/sandbox-lib.sh"
    sandbox_create "$work" 4G 1G
    uuid=$SANDBOX_UUID
    machine_id=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    echo "$machine_id" >"$SANDBOX_ROOT/etc/machine-id"
    printf 'NAME="Bench Linux"\nID=bench\n' >"$SANDBOX_ROOT/etc/os-release"
    cp "$binary" "$SANDBOX_ROOT/opt/snapwright/snapwright"
    printf 'SNAPSHOT_LIMIT=2000\nSNAPSHOT_ASSET_LIMIT_BYTES=1073741824\n' >"$SANDBOX_ROOT/etc/snapwright.conf"
}

# Replaces the ordinary entry by kernel set number $1, with fresh asset files.
write_kernel_set() {
    local version=6.1.0-$1-amd64 R=$work/root
    local dir=$R/boot/$machine_id/$version
    rm -rf "$R/boot/$machine_id"
    mkdir -p "$dir"
    # The same three sets serve every snapshot count, so the archive never holds more than three.
    if [ ! -e "$work/sets/$1/initrd" ]; then
        mkdir -p "$work/sets/$1"
        head -c "$kernel_bytes" /dev/urandom >"$work/sets/$1/linux"
        head -c "$initrd_bytes" /dev/urandom >"$work/sets/$1/initrd"
    fi
    cp "$work/sets/$1/linux" "$work/sets/$1/initrd" "$dir/"
    cat >"$R/boot/loader/entries/bench.conf" <<EOF
title Bench Linux
version $version
machine-id $machine_id
options root=UUID=$uuid rootflags=subvol=@ rw quiet
linux /$machine_id/$version/linux
initrd /$machine_id/$version/initrd
EOF
}

# Adds read-only snapshots $1..$2 of @.
take_snapshots() {
    local n
    for ((n = $1; n <= $2; n++)); do
        mkdir -p "$work/top/@/.snapshots/$n"
        btrfs -q subvolume snapshot -r "$work/top/@" "$work/top/@/.snapshots/$n/snapshot"
    done
}

in_machine() {
    chroot "$work/root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# The work a no-change run cannot avoid: every deployed object hashed twice (the budget check
# and the copy check), one `btrfs subvolume show` per snapshot.
lower_bound() {
    local count=$1 start end
    start=$(date +%s.%N)
    for pass in 1 2; do
        find "$work/root/boot/snapwright" -type f -exec openssl dgst -sha256 {} + >/dev/null
    done
    for ((n = 1; n <= count; n++)); do
        in_machine btrfs subvolume show "/.snapshots/$n/snapshot" >/dev/null
    done
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}

build_machine
taken=0
for count in "${counts[@]}"; do
    # Snapshots in three batches, each captured while its own kernel set was current.
    third=$(((count - taken) / 3))
    for set in 1 2 3; do
        last=$((set == 3 ? count : taken + third))
        write_kernel_set "$set"
        take_snapshots $((taken + 1)) "$last"
        taken=$last
        in_machine /opt/snapwright/snapwright generate >/dev/null
    done
    # Timed: a run that finds everything new on the boot side, then one with nothing to do.
    rm -rf "$work/root/boot/snapwright" "$work/root/boot/loader/entries"/snapwright-*
    read -r first_s first_kib < <(measure chroot "$work/root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /opt/snapwright/snapwright generate)
    first_summary=$(cat "$work/out")
    read -r again_s again_kib < <(measure chroot "$work/root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /opt/snapwright/snapwright generate)
    again_summary=$(cat "$work/out")
    bound_s=$(lower_bound "$count")
    ratio=$(echo "scale=2; $again_s / $bound_s" | bc)
    echo "snapshots $count"
    echo "  first run     : ${first_s} s, peak ${first_kib} KiB"
    echo "    $first_summary"
    echo "  no-change run : ${again_s} s, peak ${again_kib} KiB"
    echo "    $again_summary"
    echo "  lower bound   : ${bound_s} s"
    echo "  ratio         : ${ratio} (goal <= 1.5), memory goal < 16384 KiB"
done
