# Helpers shared by the boot test scripts: cleanup on every exit path, loop devices over the
# partitions of a disk image, and reading and writing the FAT EFI system partition with mtools.
# shellcheck shell=bash

# Cleanup actions run in reverse order of registration when the script exits, however it exits.
cleanup_actions=()

# Registers a command (given as words) to run at exit.
on_exit() {
    cleanup_actions+=("$(printf '%q ' "$@")")
}

# Runs a registered cleanup now, and removes it so that the exit does not repeat it (a loop
# device detached twice may by then belong to someone else).
run_now() {
    local action index
    action=$(printf '%q ' "$@")
    for ((index = ${#cleanup_actions[@]} - 1; index >= 0; index--)); do
        if [[ ${cleanup_actions[index]} == "$action" ]]; then
            cleanup_actions=("${cleanup_actions[@]:0:index}" "${cleanup_actions[@]:index+1}")
            "$@"
            return
        fi
    done
    die "no cleanup registered for: $*"
}

run_cleanup_actions() {
    local status=$? index
    trap - EXIT
    for ((index = ${#cleanup_actions[@]} - 1; index >= 0; index--)); do
        eval "${cleanup_actions[index]}" 2>/dev/null || true
    done
    cleanup_actions=()
    exit "$status"
}

trap run_cleanup_actions EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

die() {
    echo "boot test: $*" >&2
    exit 1
}

log() {
    echo "boot test: $*"
}

# Installs those of the given Debian packages that are not installed yet.
install_missing_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    if ((${#missing[@]})); then
        log "installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# The Debian mirror that the host's apt sources name for a release (the security archive
# aside), or SNAPWRIGHT_BOOT_TEST_MIRROR when it is set; the images are installed from it.
debian_mirror() {
    if [[ -n ${SNAPWRIGHT_BOOT_TEST_MIRROR:-} ]]; then
        echo "$SNAPWRIGHT_BOOT_TEST_MIRROR"
        return
    fi
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [[ -f $file ]] || continue
        awk -v release="$1" '
            # one-line format: deb URI SUITE COMPONENTS
            $1 == "deb" { uri = $2; if (uri ~ /^\[/) uri = $3; if ($0 ~ " " release " " && uri !~ /security/) { print uri; exit } }
            # deb822 format: stanzas separated by blank lines
            /^URIs:/ { uris = $2 }
            /^Suites:/ && $0 ~ " " release "( |$)" { found = 1 }
            /^[[:space:]]*$/ { if (found && uris != "" && uris !~ /security/) { print uris; exit } uris = ""; found = 0 }
            END { if (found && uris != "" && uris !~ /security/) print uris }
        ' "$file" | head -n 1
    done | head -n 1
}

# Seconds since the epoch with millisecond precision, for the timing lines.
now() {
    date +%s.%N
}

# Prints the seconds elapsed since the time given, with one decimal.
elapsed_since() {
    awk -v start="$1" -v end="$(now)" 'BEGIN { printf "%.1f", end - start }'
}

# How often a guest is booted when its kernel crashes before it starts init.
kernel_start_attempts=3

# Whether a guest's kernel crashed in its own start: its serial log shows an oops that
# panicked the kernel ("Fatal exception", or "Attempted to kill init" for an oops of the thread
# that is to become init) and no "Run ... as init process" line before it. Of what the tests
# check, only the boot loader has run by then, and the same kernel boots every other time (CI
# once saw an oops in sched_clock_cpu during the initcalls of the emulated machine), so such a
# guest is booted again.
kernel_crashed_before_init() {
    tr -d '\r' <"$1" | sed '/ as init process$/,$d' |
        grep -E 'Kernel panic - not syncing: (Fatal exception|Attempted to kill init)' >/dev/null
}

# Boots the test machine (TCG, 2 processors, 1 GiB) with the given qemu arguments within
# boot_timeout seconds, its serial console to SERIAL_LOG, and says so when it did not end in
# time. A boot whose kernel crashed before init is repeated, up to kernel_start_attempts boots
# in all; its serial log is kept as SERIAL_LOG.crash-N and the start of the oops shown. PREPARE
# is a command line (words quoted as on_exit quotes them) run before every boot: the boot test
# restores the EFI variables with it. WHAT names the boot in the timeout message.
boot_machine() {
    local serial_log=$1 what=$2 prepare=$3 attempt status
    shift 3
    for ((attempt = 1; ; attempt++)); do
        eval "$prepare"
        status=0
        timeout --kill-after=10 "$boot_timeout" qemu-system-x86_64 \
            -machine q35,accel=tcg -cpu max -smp 2 -m 1024 -nodefaults -no-reboot -display none \
            "$@" -serial "file:$serial_log" 2>"$serial_log.qemu" || status=$?
        ((status == 124 || status == 137)) && log "$what did not end within $boot_timeout s"
        ((attempt < kernel_start_attempts)) && kernel_crashed_before_init "$serial_log" || return 0
        mv "$serial_log" "$serial_log.crash-$attempt"
        log "the guest's kernel crashed before it started init (attempt $attempt of $kernel_start_attempts), kept as $(basename "$serial_log").crash-$attempt; the start of the oops:"
        tr -d '\r' <"$serial_log.crash-$attempt" |
            sed -n '/\(BUG:\|Oops\|general protection\|invalid opcode\|int3:\|traps:\|RIP:\)/,$p' |
            head -n 16 | sed 's/^/    | /'
    done
}

# Attaches a loop device to a byte range of a file, stores its name in the variable named first
# and detaches it at exit. (Not for command substitution: the cleanup must be registered in the
# calling shell.)
attach_loop() {
    local -n device_variable=$1
    local file=$2 offset=$3 size=$4
    device_variable=$(losetup --find --show --offset "$offset" --sizelimit "$size" "$file")
    on_exit losetup --detach "$device_variable"
}

# Mounts and registers the unmount at exit.
mount_until_exit() {
    local target=${*: -1}
    mount "$@"
    on_exit umount "$target"
}

# The volume ID that write_esp gives the FAT file system, and the UUID under which Linux names it.
esp_volume_id=5a4e0b1e
esp_uuid=5A4E-0B1E

# Formats the FAT32 EFI system partition at a byte offset of a disk image and copies a directory
# tree into it. The host kernel has no FAT driver, so the partition is written with mtools.
write_esp() {
    local image=$1 offset=$2 size=$3 tree=$4 device
    device=$(losetup --find --show --offset "$offset" --sizelimit "$size" "$image")
    if ! mkfs.vfat -F 32 -n ESP -i "$esp_volume_id" "$device" >/dev/null; then
        losetup --detach "$device"
        die "mkfs.vfat failed on the EFI system partition"
    fi
    losetup --detach "$device"
    local entry
    for entry in "$tree"/* "$tree"/.[!.]*; do
        [[ -e $entry ]] || continue
        MTOOLS_SKIP_CHECK=1 mcopy -s -p -Q -i "$image@@$offset" "$entry" ::/
    done
}

# Copies the whole tree of the EFI system partition at a byte offset of a disk image into a
# directory.
read_esp() {
    local image=$1 offset=$2 directory=$3
    MTOOLS_SKIP_CHECK=1 mcopy -s -p -Q -n -i "$image@@$offset" '::*' "$directory"/
}

# Prints the free bytes of the empty FAT file system that mkfs.vfat makes on a partition of the
# given size, measured on a scratch file.
fat_capacity_bytes() {
    local size=$1 scratch
    scratch=$(mktemp /tmp/boot-test-fat.XXXXXX)
    truncate -s "$size" "$scratch"
    mkfs.vfat -F 32 -n ESP "$scratch" >/dev/null
    MTOOLS_SKIP_CHECK=1 mdir -i "$scratch" ::/ | awk '/bytes free/ { gsub(/[^0-9]/, ""); print }'
    rm -f "$scratch"
}
