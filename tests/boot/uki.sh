# The boot test's uki mode (tests/boot/run --mode uki), sourced by run: on the Debian 13 image,
# the machine boots the unified kernel image that the image's own ukify built from its kernel,
# initramfs, os-release and command line (build-image), as a Type #2 entry in EFI/Linux, and has
# no Type #1 entry at all. snapwright, installed in @ from the package built from this tree,
# unpacks the image into the snapshot's entry. Two boots: the image itself must boot the live
# root @ with its embedded command line, and the generated entry must boot the snapshot with the
# entry's options. It uses run's settings (esp, root, work, image_directory, image.env's values)
# and helpers, and guest.sh's checks.
# shellcheck shell=bash disable=SC2154

uki_file=
uki_cmdline=

# Puts the unified kernel image into $esp/EFI/Linux and removes the ordinary entry and its files,
# so that the image is all the machine boots; sets uki_file and uki_cmdline (its .cmdline).
make_uki_machine() {
    uki_file=${unified_kernel_image:-}
    [[ -n $uki_file && -f $image_directory/$uki_file ]] ||
        die "the image has no unified kernel image (build-image makes one for Debian 13)"
    local entry=$esp/loader/entries/$ordinary_entry kernel
    kernel=$esp$(entry_value "$entry" linux)
    [[ -f $kernel ]] || die "cannot find the kernel of $ordinary_entry"
    mkdir -p "$esp/EFI/Linux"
    cp "$image_directory/$uki_file" "$esp/EFI/Linux/$uki_file"
    rm -f "$entry"
    rm -rf "${kernel%/*}"
    objcopy -O binary --only-section=.cmdline "$esp/EFI/Linux/$uki_file" "$work/uki.cmdline" ||
        die "cannot read the .cmdline section of $uki_file"
    uki_cmdline=$(tr -d '\0' <"$work/uki.cmdline")
    log "unified kernel image /EFI/Linux/$uki_file, command line: $uki_cmdline"
    log "the ESP's files:"
    find "$esp" -type f | sed "s|^$esp|    |" | sort
    expect "esp" "the ESP holds no Type #1 entry" \
        "$(find "$esp/loader/entries" -name '*.conf' | wc -l)" 0
    local named=no
    [[ " $uki_cmdline " == *" root=UUID=$uuid "* && " $uki_cmdline " == *" rootflags=subvol=@ "* ]] &&
        named=yes
    expect "image cmdline" "the image's .cmdline names root=UUID=$uuid and rootflags=subvol=@" \
        "$named" yes
}

# Installs the package built from this tree into @ with dpkg, as an administrator would, and has
# the chroot run the installed program.
install_package_in_root() {
    build_package
    cp "$package_file" "$root/run/boot-test/"
    log "installing ${package_file##*/} into @"
    in_root dpkg --install "/run/boot-test/${package_file##*/}" || die "dpkg --install failed"
    # shellcheck disable=SC2016 # dpkg-query's own field syntax
    expect "package" "dpkg installed snapwright from the package built from this tree" \
        "$(in_root dpkg-query --show --showformat='${Status}' snapwright)" "install ok installed"
    # shellcheck disable=SC2034 # run_snapwright and inspect_result run it
    snapwright_program=/usr/bin/snapwright
}

# Checks the generated entry against the image: a plain Type #1 entry whose kernel and initramfs
# are the image's, which the ESP held only inside the unified kernel image.
check_uki_entry() {
    local entry=$esp/loader/entries/$generated_entry linux initrd
    linux=$(entry_value "$entry" linux)
    initrd=$(entry_value "$entry" initrd)
    expect "entry kernel" "the entry's kernel is the image's /boot/vmlinuz-$kernel_version" \
        "$(sha256sum <"$esp$linux" | cut -d' ' -f1)" \
        "$(sha256sum <"$root/boot/vmlinuz-$kernel_version" | cut -d' ' -f1)"
    expect "entry initramfs" "the entry's initramfs is the image's initrd.img-$kernel_version" \
        "$(sha256sum <"$esp$initrd" | cut -d' ' -f1)" \
        "$(sha256sum <"$root/boot/initrd.img-$kernel_version" | cut -d' ' -f1)"
    expect "entry options" "the entry's options are the image's command line for the snapshot" \
        "$generated_options" \
        "${uki_cmdline/rootflags=subvol=@/rootflags=subvol=$snapshot_path} init=$report_program"
}

# The partition tree of one uki boot: the image as default for the live boot, the generated
# entry for the snapshot's; prints the options the booted kernel must show.
make_uki_boot_tree() {
    local boot=$1 tree=$2
    cp -a "$esp" "$tree"
    if [[ $boot == uki-live ]]; then
        printf 'timeout 0\ndefault %s\n' "$uki_file" >"$tree/loader/loader.conf"
        printf '%s\n' "$uki_cmdline"
    else
        printf '%s\n' "$generated_options"
    fi
}

# Records the checks of one uki boot: the entry that systemd-boot booted, whether systemd-stub
# started the kernel, the command line and the root. Returns 1 when one failed.
check_uki_boot() {
    local boot=$1 serial_log=$2 expected_options=$3 expected_root=$4 before=$guest_failures
    local entry=$generated_entry stub=no stub_detail="the kernel started without systemd-stub"
    if [[ $boot == uki-live ]]; then
        entry=$uki_file
        stub=yes
        stub_detail="systemd-stub started the kernel"
    fi
    expect "$boot entry" "systemd-boot booted $entry" \
        "$(report_value "$serial_log" entry-selected)" "$entry"
    local stub_info
    stub_info=$(report_value "$serial_log" stub-info)
    expect "$boot stub" "$stub_detail${stub_info:+ ($stub_info)}" \
        "$([[ -n $stub_info ]] && echo yes || echo no)" "$stub"
    expect "$boot command line" "the command line is the $([[ $boot == uki-live ]] &&
        echo "image's .cmdline" || echo "entry's options")" \
        "$(normalise_options "$(report_value "$serial_log" cmdline)")" \
        "$(normalise_options "$expected_options")"
    expect "$boot root" "the root is the subvolume $expected_root" \
        "$(report_value "$serial_log" root-fstype) $(report_value "$serial_log" root-fsroot)" \
        "btrfs $expected_root"
    ((guest_failures == before))
}
