# The boot test's uki mode (tests/boot/run --mode uki), sourced by run: on the Debian 13 image,
# the machine boots a unified kernel image built from its own kernel, initramfs, os-release and
# command line, as a Type #2 entry in EFI/Linux, and has no Type #1 entry at all. Two boots: the
# image itself must boot the live root @ with its embedded command line, and the entry that
# snapwright unpacked from it must boot the snapshot with the entry's options.
# The Debian 13 image holds neither ukify nor linuxx64.efi.stub, so the
# image is built with objcopy over the stub of the image when present, else of the host.
# shellcheck shell=bash

uki_file=

# Builds $esp/EFI/Linux/$uki_file over systemd-stub with objcopy, the sections laid out as ukify
# lays them (each after the stub's last one, on its own 4 KiB page), from the
# ordinary entry's kernel, initramfs and options, then removes that entry and its files, so that
# the image is all the machine boots.
make_uki_machine() {
    local entry=$esp/loader/entries/$ordinary_entry
    # The image's own stub when it has one (systemd-boot-efi), else the host's.
    local stub=$root/usr/lib/systemd/boot/efi/linuxx64.efi.stub
    [[ -f $stub ]] || stub=/usr/lib/systemd/boot/efi/linuxx64.efi.stub
    [[ -f $stub ]] || die "neither the image nor the host has systemd-stub (systemd-boot-efi)"
    log "building the unified kernel image over $stub"
    command -v objcopy >/dev/null || die "the uki mode needs objcopy (binutils) on the host"
    local kernel initrd sections=$work/uki-sections
    kernel=$esp$(sed -n 's/^linux[[:space:]]\+//p' "$entry")
    initrd=$esp$(sed -n 's/^initrd[[:space:]]\+//p' "$entry" | head -n 1)
    [[ -f $kernel && -f $initrd ]] || die "cannot find the kernel and initramfs of $ordinary_entry"
    mkdir -p "$sections"
    printf '%s\n' "$ordinary_options" >"$sections/cmdline"
    cat "$root/usr/lib/os-release" >"$sections/osrel"
    printf '%s\n' "$kernel_version" >"$sections/uname"
    cp "$initrd" "$sections/initrd"
    cp "$kernel" "$sections/linux"
    local address=0 index name size vma end arguments=()
    while read -r index name size vma _; do
        [[ $index =~ ^[0-9]+$ ]] || continue
        end=$((0x$vma + 0x$size))
        ((end > address)) && address=$end
    done < <(objdump -h "$stub")
    ((address > 0)) || die "cannot read the sections of the stub"
    for name in osrel cmdline uname initrd linux; do
        address=$(((address + 0xfff) & ~0xfff))
        arguments+=(--add-section ".$name=$sections/$name"
            --change-section-vma ".$name=$(printf '0x%x' "$address")")
        address=$((address + $(stat -c %s "$sections/$name")))
    done
    uki_file=debian-$kernel_version.efi
    mkdir -p "$esp/EFI/Linux"
    objcopy "${arguments[@]}" "$stub" "$esp/EFI/Linux/$uki_file" ||
        die "objcopy could not build the unified kernel image"
    rm -f "$entry"
    rm -rf "${kernel%/*}"
    log "unified kernel image /EFI/Linux/$uki_file, and no Type #1 entry:"
    objdump -h "$esp/EFI/Linux/$uki_file" | sed -n 's/^ *[0-9]\+ \(\.[a-z]\+\) \+\([0-9a-f]\+\) .*/    \1 0x\2 bytes/p'
    find "$esp" -type f | sed "s|^$esp|    |" | sort
}

# The partition tree of one uki boot: the image as default for the live boot, the generated
# entry for the snapshot's; prints the options the booted kernel must show.
make_uki_boot_tree() {
    local boot=$1 tree=$2
    cp -a "$esp" "$tree"
    if [[ $boot == uki-live ]]; then
        printf 'timeout 0\ndefault %s\n' "$uki_file" >"$tree/loader/loader.conf"
        printf '%s\n' "$ordinary_options"
    else
        printf '%s\n' "$generated_options"
    fi
}
