# The boot test's lifecycle mode, sourced by run: the package built from this tree on a Debian 13
# machine with systemd as init, used as an administrator uses it, then booted into a snapshot and
# back. The guest's side is lifecycle-guest; this side prepares the disk, boots it three times
# with the same EFI variables and checks what the guest reported.
# shellcheck shell=bash

lifecycle_results=()
lifecycle_failures=0
lifecycle_timings=()

# Records one check: verdict PASS|FAIL NAME DETAIL.
verdict() {
    lifecycle_results+=("$1 $2: $3")
    [[ $1 == PASS ]] || lifecycle_failures=$((lifecycle_failures + 1))
    log "$1 $2: $3"
}

# Passes the check when the two values are equal: expect NAME DETAIL ACTUAL EXPECTED.
expect() {
    if [[ $3 == "$4" ]]; then
        verdict PASS "$1" "$2"
    else
        verdict FAIL "$1" "$2 (found '$3', expected '$4')"
    fi
}

# The guest's report lines in a serial log, without their prefix.
lifecycle_lines() {
    tr -d '\r' <"$1" | sed -n 's/^.*SNAPWRIGHT-LIFECYCLE //p'
}

# The last value the guest reported for a fact.
lifecycle_fact() {
    lifecycle_lines "$1" | sed -n "s/^fact $2=//p" | tail -n 1
}

# A key's value in an entry file.
entry_value() {
    sed -n "s/^$2[[:space:]]\+//p" "$1" | head -n 1
}

# Puts the package, the guest's script and its unit into @ (mounted at $root).
install_lifecycle_guest() {
    local build_directory=${binary%/*} packages
    [[ -f $build_directory/CMakeCache.txt ]] ||
        die "the lifecycle mode packs the build tree of $binary, which has no CMakeCache.txt"
    log "building the package from $build_directory"
    (cd "$build_directory" && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; die "cpack -G DEB failed"; }
    packages=("$work"/package/snapwright_*.deb)
    [[ -f ${packages[0]} ]] || die "cpack made no snapwright_*.deb"
    install -d -m 0700 "$root/root/lifecycle"
    cp "${packages[0]}" "$root/root/lifecycle/"
    install -m 0755 "$here/lifecycle-guest" "$root/usr/local/sbin/lifecycle-guest"
    install -m 0644 "$here/lifecycle-guest.service" "$root/etc/systemd/system/lifecycle-guest.service"
    mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
    ln -s /etc/systemd/system/lifecycle-guest.service \
        "$root/etc/systemd/system/multi-user.target.wants/lifecycle-guest.service"
}

# Boots once and shows the guest's report; fails the boot's check when the report is incomplete.
lifecycle_boot() {
    local number=$1 boot_timeout=$2 serial_log=$work/serial-lifecycle-$1.log started seconds
    log "booting (lifecycle, boot $number of 4)"
    started=$(now)
    boot_disk "$serial_log" "$work/ovmf-vars-lifecycle.fd"
    seconds=$(elapsed_since "$started")
    log "timing: boot (lifecycle $number) $seconds s"
    lifecycle_timings+=("boot $number: $seconds s")
    lifecycle_lines "$serial_log" | sed 's/^/    /'
    local result name detail
    while read -r result name detail; do
        verdict "$result" "boot $number ${name%:}" "$detail"
    done < <(lifecycle_lines "$serial_log" | grep -E '^(PASS|FAIL) ')
    if ! lifecycle_lines "$serial_log" | grep -qx END; then
        verdict FAIL "boot $number" "the guest did not finish its report"
        echo "    the last lines of the serial log:"
        tr -d '\r' <"$serial_log" | tail -n 40 | sed 's/^/    | /'
        sed 's/^/    qemu: /' "$serial_log.qemu"
        return 1
    fi
    expect "boot $number stage" "the guest ran its boot-$number steps" \
        "$(lifecycle_fact "$serial_log" stage)" "$number"
}

run_lifecycle() {
    local first=$work/serial-lifecycle-1.log second=$work/serial-lifecycle-2.log
    local third=$work/serial-lifecycle-3.log fourth=$work/serial-lifecycle-4.log
    local esp_after=$work/esp-after
    local number entry
    if lifecycle_boot 1 $((boot_timeout * 2)); then
        number=$(lifecycle_fact "$first" snapshot-number)
        entry=$(lifecycle_fact "$first" snapshot-entry)
        log "Snapper snapshot $number, entry $entry; snapper create took $(lifecycle_fact "$first" snapper-create-seconds) s, the watch service's entry appeared after $(lifecycle_fact "$first" watch-entry-seconds) s"
    fi
    mkdir "$esp_after"
    read_esp "$disk" "$esp_offset" "$esp_after"
    local entry_file=$esp_after/loader/entries/$entry
    if [[ -z $entry || ! -f $entry_file ]]; then
        verdict FAIL "snapshot entry" "no entry for the first snapshot on the ESP after the first boot"
    else
        log "the entry of snapshot $number as the guest wrote it on the FAT ESP:"
        sed 's/^/    /' "$entry_file"
        local options linux digest
        options=$(entry_value "$entry_file" options)
        linux=$(entry_value "$entry_file" linux)
        digest=${linux##*/}
        expect "snapshot kernel on the ESP" "the entry's kernel file has the SHA-256 its name says" \
            "$(sha256sum <"$esp_after$linux" | cut -d' ' -f1)" "$digest"

        if lifecycle_boot 2 "$boot_timeout"; then
            expect "boot 2 root" "the root is the snapshot's subvolume" \
                "$(lifecycle_fact "$second" root-fstype) $(lifecycle_fact "$second" root-fsroot)" \
                "btrfs /@/.snapshots/$number/snapshot"
            expect "boot 2 command line" "the command line is the entry's options (initrd= words aside)" \
                "$(normalise_options "$(lifecycle_fact "$second" cmdline)")" "$(normalise_options "$options")"
            expect "boot 2 entry" "systemd-boot booted the one-shot entry" \
                "$(lifecycle_fact "$second" entry-selected)" "$entry"
            expect "boot 2 kernel" "the kernel release is the image's" \
                "$(lifecycle_fact "$second" kernel-release)" "$kernel_version"
            expect "boot 2 marker" "the marker reads as it was when the snapshot was taken" \
                "$(lifecycle_fact "$second" marker)" "written into snapshot 1"
            log "the booted snapshot: state $(lifecycle_fact "$second" state), root $(lifecycle_fact "$second" root-mode), ESP $(lifecycle_fact "$second" esp-mount)"
            log "failed units: $(lifecycle_lines "$second" | sed -n 's/^fact failed-unit=//p' | paste -sd ' ')"
        fi
    fi

    if lifecycle_boot 3 "$boot_timeout"; then
        local ordinary_options
        ordinary_options=$(entry_value "$esp_after/loader/entries/$ordinary_entry" options)
        expect "boot 3 root" "the live root is back" \
            "$(lifecycle_fact "$third" root-fsroot)" "/@"
        expect "boot 3 entry" "systemd-boot booted the ordinary entry by default" \
            "$(lifecycle_fact "$third" entry-selected)" "$ordinary_entry"
        expect "boot 3 command line" "the command line is the ordinary entry's" \
            "$(normalise_options "$(lifecycle_fact "$third" cmdline)")" "$(normalise_options "$ordinary_options")"
        log "the live root: state $(lifecycle_fact "$third" state), snapper-boot.service $(lifecycle_fact "$third" snapper-boot.service)"

        # A snapshot whose entry masks snapper-boot.service, which fails in every booted snapshot.
        local masked_number masked_entry masked_file
        masked_number=$(lifecycle_fact "$third" masked-number)
        masked_entry=$(lifecycle_fact "$third" masked-entry)
        rm -rf "$esp_after"
        mkdir "$esp_after"
        read_esp "$disk" "$esp_offset" "$esp_after"
        masked_file=$esp_after/loader/entries/$masked_entry
        if [[ -n $masked_entry && -f $masked_file ]] && lifecycle_boot 4 "$boot_timeout"; then
            expect "boot 4 root" "the root is the new snapshot's subvolume" \
                "$(lifecycle_fact "$fourth" root-fsroot)" "/@/.snapshots/$masked_number/snapshot"
            expect "boot 4 command line" "the command line is the entry's options, the mask included" \
                "$(normalise_options "$(lifecycle_fact "$fourth" cmdline)")" \
                "$(normalise_options "$(entry_value "$masked_file" options)")"
            expect "boot 4 state" "with snapper-boot.service masked the snapshot comes up without a failed unit" \
                "$(lifecycle_fact "$fourth" state) $(lifecycle_lines "$fourth" | sed -n 's/^fact failed-unit=//p' | paste -sd ' ')" \
                "running "
        else
            verdict FAIL "boot 4" "no entry of the masked snapshot to boot"
        fi
    fi

    # The kernel that booted the snapshot is the archived object: the same bytes in the archive on
    # the root file system, and the image's own kernel.
    if [[ -n ${digest:-} ]]; then
        attach_loop lifecycle_device "$disk" "$root_offset" "$root_size"
        mount_until_exit -o ro,subvolid=5 "$lifecycle_device" "$top"
        local archived
        archived=$(find "$top/@/var/lib/snapwright" -type f -name "$digest" -print -quit 2>/dev/null)
        expect "archived kernel" "the archive holds the booted kernel under its SHA-256" \
            "$([[ -n $archived ]] && sha256sum <"$archived" | cut -d' ' -f1)" "$digest"
        expect "archived kernel source" "the archived kernel is the image's /boot/vmlinuz-$kernel_version" \
            "$(sha256sum <"$top/@/boot/vmlinuz-$kernel_version" | cut -d' ' -f1)" "$digest"
        run_now umount "$top"
        run_now losetup --detach "$lifecycle_device"
    fi

    log "summary:"
    printf '    %s\n' "${lifecycle_results[@]}" "${lifecycle_timings[@]}"
    log "lifecycle: ${#lifecycle_results[@]} checks, $((${#lifecycle_results[@]} - lifecycle_failures)) passed, $lifecycle_failures failed"
    log "timing: whole run $(elapsed_since "$run_started") s"
    if ((lifecycle_failures)); then
        local kept
        kept=$cache/logs/lifecycle-$(date -u +%Y%m%dT%H%M%SZ)
        mkdir -p "$kept"
        cp "$work"/serial-lifecycle-*.log "$kept"/ 2>/dev/null
        die "$lifecycle_failures lifecycle checks failed; serial logs kept in $kept"
    fi
    log "every lifecycle check passed"
}
