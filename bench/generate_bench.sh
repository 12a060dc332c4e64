#!/bin/bash
# Times `snapwright generate` on a throw-away Btrfs machine with many read-only snapshots that
# share three kernel sets of realistic size, against bounds measured on the same machine in the
# same run:
#   - no-change run: a run with nothing to do, against the physical bound (two openssl SHA-256
#     passes over the deployed objects, the budget check and the copy check) and the bound of
#     the design before subvolume facts were read directly (that plus one
#     `btrfs subvolume show` per snapshot);
#   - capture run: a run that finds the last third of the snapshots new (their kernel set is
#     already archived and deployed), against the no-change run plus one openssl pass over the
#     source assets plus 15 ms per new snapshot;
#   - the peak resident memory of both, and the time and peak resident memory of `verify` and
#     `status` on the state the no-change run left;
#   - the bound that a no-change run must keep: three single SHA-256 passes plus 0.5 s.
# The no-change run and the physical bound are the best of three samples each.
#
#   bench/generate_bench.sh [path/to/snapwright] [snapshot counts...]   (default: 100 1000)
#
# With SNAPWRIGHT_BENCH_DESIGN_BOUND=no the design bound is not measured (its `show` column reads
# 0). With SNAPWRIGHT_BENCH_PAUSE=FILE the machine stays up after each count's measurements until
# FILE is removed, for profiling runs by hand inside it.
#
# Needs root, loop devices, btrfs-progs, e2fsprogs, openssl, bc and GNU time. Everything happens
# in a private mount namespace under a temporary directory that is removed at the end.
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

# Seconds that a command took.
seconds_of() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}

hash_deployed_twice() {
    for pass in 1 2; do
        find "$work/root/boot/snapwright" -type f -exec openssl dgst -sha256 {} + >/dev/null
    done
}

show_each_snapshot() {
    local n
    for ((n = 1; n <= $1; n++)); do
        in_machine btrfs subvolume show "/.snapshots/$n/snapshot" >/dev/null
    done
}

hash_source_assets() {
    find "$work/root/boot/$machine_id" -type f -exec openssl dgst -sha256 {} + >/dev/null
}

build_machine
taken=0
rows=()
memory_rows=()
for count in "${counts[@]}"; do
    # Snapshots in three batches, each captured while its own kernel set was current; of the
    # third batch only the first snapshot is captured before the timed runs.
    third=$(((count - taken) / 3))
    for set in 1 2 3; do
        last=$((set == 3 ? taken + 1 : taken + third))
        write_kernel_set "$set"
        take_snapshots $((taken + 1)) "$last"
        taken=$last
        in_machine /opt/snapwright/snapwright generate >/dev/null
    done
    take_snapshots $((taken + 1)) "$count"
    new=$((count - taken))
    taken=$count

    read -r capture_s capture_kib < <(measure chroot "$work/root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /opt/snapwright/snapwright generate)
    capture_summary=$(cat "$work/out")
    # Best of three for the no-change run and its bound: on a shared machine one sample is noise.
    again_s=
    physical_s=
    for attempt in 1 2 3; do
        read -r s kib < <(measure chroot "$work/root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /opt/snapwright/snapwright generate)
        if [ -z "$again_s" ] || [ "$(echo "$s < $again_s" | bc)" = 1 ]; then
            again_s=$s
        fi
        again_kib=$kib
        p=$(seconds_of hash_deployed_twice)
        if [ -z "$physical_s" ] || [ "$(echo "$p < $physical_s" | bc)" = 1 ]; then
            physical_s=$p
        fi
    done
    again_summary=$(cat "$work/out")
    read -r verify_s verify_kib < <(measure chroot "$work/root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /opt/snapwright/snapwright verify)
    verify_summary=$(cat "$work/out")
    read -r status_s status_kib < <(measure chroot "$work/root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /opt/snapwright/snapwright status)
    bound_s=$(echo "scale=2; 3 * $physical_s / 2 + 0.5" | bc)
    # One `btrfs subvolume show` walks every subvolume, so the design bound grows with the square
    # of the count: at 10,000 snapshots it alone takes many minutes.
    if [ "${SNAPWRIGHT_BENCH_DESIGN_BOUND:-yes}" = no ]; then
        show_s=0
    else
        show_s=$(seconds_of show_each_snapshot "$count")
    fi
    source_s=$(seconds_of hash_source_assets)
    design_s=$(echo "$physical_s + $show_s" | bc)
    ratio=$(echo "scale=2; $again_s / $physical_s" | bc)
    capture_goal_s=$(echo "scale=2; $again_s + $source_s + 0.015 * $new" | bc)
    per_new_ms=$(echo "scale=1; 1000 * ($capture_s - $again_s - $source_s) / $new" | bc)

    echo "snapshots $count"
    echo "  capture run ($new new): ${capture_s} s, peak ${capture_kib} KiB (goal <= ${capture_goal_s} s)"
    echo "    $capture_summary"
    echo "  no-change run       : ${again_s} s, peak ${again_kib} KiB"
    echo "    $again_summary"
    echo "  physical bound      : ${physical_s} s (ratio ${ratio}, goal <= 1.5)"
    echo "  no-change bound     : ${bound_s} s (three single passes plus 0.5 s)"
    echo "  verify              : ${verify_s} s, peak ${verify_kib} KiB"
    echo "    $verify_summary"
    echo "  status              : ${status_s} s, peak ${status_kib} KiB"
    echo "  design bound        : ${design_s} s (of which ${show_s} s btrfs subvolume show)"
    echo "  source hash pass    : ${source_s} s"
    if [ -n "${SNAPWRIGHT_BENCH_PAUSE:-}" ]; then
        # For profiling: the machine stays up until the named file is removed; enter it with
        # nsenter --mount --target <this PID> and chroot into the printed root.
        touch "$SNAPWRIGHT_BENCH_PAUSE"
        echo "paused: pid $$, root $work/root; remove $SNAPWRIGHT_BENCH_PAUSE to go on" >&2
        while [ -e "$SNAPWRIGHT_BENCH_PAUSE" ]; do sleep 1; done
    fi
    rows+=("| $count | $again_s s | $physical_s s | $ratio | $design_s s | $capture_s s ($new new) | $capture_goal_s s | $per_new_ms ms | $again_kib KiB | $capture_kib KiB |")
    memory_rows+=("| $count | $again_s s | $bound_s s | $again_kib KiB | $capture_kib KiB | $verify_s s, $verify_kib KiB | $status_s s, $status_kib KiB |")
done

echo
echo "nproc: $(nproc)"
echo "| N | no-change | physical bound | ratio | design bound | capture run | capture goal | beyond the source pass, per new snapshot | peak RSS no-change | peak RSS capture |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| N | no-change | bound (3 single passes + 0.5 s) | peak RSS no-change | peak RSS capture | verify | status |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${memory_rows[@]}"
