# Shell helpers that build a throw-away Btrfs root with an ext4 boot partition, for the demo
# and the benchmark.
# Source it inside a private mount namespace (unshare -m --propagation private): every mount
# made here then vanishes with the namespace, and loop devices attached through `mount -o loop`
# clear themselves when their last mount goes.

# sandbox_create DIR [ROOT_SIZE [BOOT_SIZE]]: builds DIR/root (the chroot, its Btrfs top level
# mounted at DIR/top) and prints nothing. Sets SANDBOX_ROOT, SANDBOX_LOOP, SANDBOX_UUID.
sandbox_create() {
    local dir=$1 root_size=${2:-1G} boot_size=${3:-512M}
    mkdir -p "$dir/top" "$dir/root"
    truncate -s "$root_size" "$dir/root.img"
    mkfs.btrfs -q "$dir/root.img" >/dev/null 2>&1
    mount -o loop "$dir/root.img" "$dir/top"
    SANDBOX_LOOP=$(findmnt -n -o SOURCE --target "$dir/top")
    SANDBOX_UUID=$(blkid -s UUID -o value "$dir/root.img")
    btrfs -q subvolume create "$dir/top/@" >/dev/null
    mount -o subvol=@ "$SANDBOX_LOOP" "$dir/root"
    SANDBOX_ROOT=$dir/root
    local r=$SANDBOX_ROOT
    mkdir -p "$r"/{usr,proc,sys,dev,run,tmp,etc,boot,.snapshots,opt/snapwright}
    mount --bind /usr "$r/usr"
    mount -o remount,bind,ro "$r/usr"
    for link in bin sbin lib lib64; do
        [ -e "/usr/$link" ] && ln -s "usr/$link" "$r/$link"
    done
    mount -t proc proc "$r/proc"
    mount -t sysfs sysfs "$r/sys"
    mount -t tmpfs -o mode=0755 tmpfs "$r/dev"
    mknod -m 666 "$r/dev/null" c 1 3
    mknod -m 666 "$r/dev/zero" c 1 5
    mknod -m 666 "$r/dev/random" c 1 8
    mknod -m 666 "$r/dev/urandom" c 1 9
    sandbox_add_device_node "$SANDBOX_LOOP"
    mkdir -p "$r/dev/disk/by-uuid"
    ln -s "../../${SANDBOX_LOOP#/dev/}" "$r/dev/disk/by-uuid/$SANDBOX_UUID"
    mount -t tmpfs tmpfs "$r/run"
    mkdir -p "$r/run/lock"
    mount -t tmpfs tmpfs "$r/tmp"
    printf '%s\n' 0123456789abcdef0123456789abcdef >"$r/etc/machine-id"
    printf 'NAME="Demo Linux"\nPRETTY_NAME="Demo Linux 1"\n' >"$r/etc/os-release"
    truncate -s "$boot_size" "$dir/boot.img"
    mkfs.ext4 -q -F "$dir/boot.img"
    mount -o loop "$dir/boot.img" "$r/boot"
    sandbox_add_device_node "$(findmnt -n -o SOURCE --target "$r/boot")"
    mkdir -p "$r/boot/loader/entries"
}

# sandbox_add_device_node /dev/loopN: the block device node inside the chroot.
sandbox_add_device_node() {
    local major minor
    read -r major minor < <(stat -L -c '%t %T' "$1" | { read -r a b; echo $((16#$a)) $((16#$b)); })
    mknod -m 660 "$SANDBOX_ROOT$1" b "$major" "$minor"
}

# sandbox_add_boot_files: an ordinary entry for the running root, with kernel, microcode and
# initramfs files of realistic sizes.
sandbox_add_boot_files() {
    local r=$SANDBOX_ROOT machine_id
    machine_id=$(cat "$r/etc/machine-id")
    mkdir -p "$r/boot/$machine_id/6.1.0"
    head -c 12M /dev/urandom >"$r/boot/$machine_id/6.1.0/linux"
    head -c 3M /dev/urandom >"$r/boot/$machine_id/6.1.0/intel-ucode.img"
    head -c 40M /dev/urandom >"$r/boot/$machine_id/6.1.0/initrd.img"
    cat >"$r/boot/loader/entries/$machine_id-6.1.0.conf" <<ENTRY
title      Demo Linux
version    6.1.0
machine-id $machine_id
sort-key   demo
linux      /$machine_id/6.1.0/linux
initrd     /$machine_id/6.1.0/intel-ucode.img
initrd     /$machine_id/6.1.0/initrd.img
options    root=UUID=$SANDBOX_UUID rootflags=subvol=@,compress=zstd rw quiet
ENTRY
}

# sandbox_snapshot N: a read-only snapshot of the running root at /.snapshots/N/snapshot.
sandbox_snapshot() {
    mkdir -p "$SANDBOX_ROOT/.snapshots/$1"
    btrfs -q subvolume snapshot -r "$SANDBOX_ROOT" "$SANDBOX_ROOT/.snapshots/$1/snapshot" >/dev/null
}

# sandbox_run COMMAND...: runs a command inside the chroot with a clean environment.
sandbox_run() {
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        SYSTEMD_RELAX_ESP_CHECKS=1 chroot "$SANDBOX_ROOT" "$@"
}
