# The boot test's lifecycle mode, sourced by run: the package built from this tree on a Debian 13
# machine with systemd as init, used as an administrator uses it, then booted into a snapshot and
# back, and into a snapshot whose entry masks snapper-boot.service. The guest's side is
# lifecycle-guest; this side boots the disk four times (guest.sh) and checks what the guest
# reported against the ESP and the archive as the guest left them. It also uses the image's
# identities from image.env and run's normalise_options.
# shellcheck shell=bash disable=SC2154

run_lifecycle() {
    local first=$work/serial-guest-1.log second=$work/serial-guest-2.log
    local third=$work/serial-guest-3.log fourth=$work/serial-guest-4.log
    local esp_after=$work/esp-after
    local number entry
    if guest_boot 1 4 $((boot_timeout * 2)); then
        number=$(guest_fact "$first" snapshot-number)
        entry=$(guest_fact "$first" snapshot-entry)
        log "Snapper snapshot $number, entry $entry; snapper create took $(guest_fact "$first" snapper-create-seconds) s, the watch service's entry appeared after $(guest_fact "$first" watch-entry-seconds) s"
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

        if guest_boot 2 4 "$boot_timeout"; then
            expect "boot 2 root" "the root is the snapshot's subvolume" \
                "$(guest_fact "$second" root-fstype) $(guest_fact "$second" root-fsroot)" \
                "btrfs /@/.snapshots/$number/snapshot"
            expect "boot 2 command line" "the command line is the entry's options (initrd= words aside)" \
                "$(normalise_options "$(guest_fact "$second" cmdline)")" "$(normalise_options "$options")"
            expect "boot 2 entry" "systemd-boot booted the one-shot entry" \
                "$(guest_fact "$second" entry-selected)" "$entry"
            expect "boot 2 kernel" "the kernel release is the image's" \
                "$(guest_fact "$second" kernel-release)" "$kernel_version"
            expect "boot 2 marker" "the marker reads as it was when the snapshot was taken" \
                "$(guest_fact "$second" marker)" "written into snapshot 1"
            log "the booted snapshot: state $(guest_fact "$second" state), root $(guest_fact "$second" root-mode), ESP $(guest_fact "$second" esp-mount)"
            log "failed units: $(guest_lines "$second" | sed -n 's/^fact failed-unit=//p' | paste -sd ' ')"
        fi
    fi

    if guest_boot 3 4 "$boot_timeout"; then
        local ordinary_options
        ordinary_options=$(entry_value "$esp_after/loader/entries/$ordinary_entry" options)
        expect "boot 3 root" "the live root is back" \
            "$(guest_fact "$third" root-fsroot)" "/@"
        expect "boot 3 entry" "systemd-boot booted the ordinary entry by default" \
            "$(guest_fact "$third" entry-selected)" "$ordinary_entry"
        expect "boot 3 command line" "the command line is the ordinary entry's" \
            "$(normalise_options "$(guest_fact "$third" cmdline)")" "$(normalise_options "$ordinary_options")"
        log "the live root: state $(guest_fact "$third" state), snapper-boot.service $(guest_fact "$third" snapper-boot.service)"

        # A snapshot whose entry masks snapper-boot.service, which fails in every booted snapshot.
        local masked_number masked_entry masked_file
        masked_number=$(guest_fact "$third" masked-number)
        masked_entry=$(guest_fact "$third" masked-entry)
        rm -rf "$esp_after"
        mkdir "$esp_after"
        read_esp "$disk" "$esp_offset" "$esp_after"
        masked_file=$esp_after/loader/entries/$masked_entry
        if [[ -n $masked_entry && -f $masked_file ]] && guest_boot 4 4 "$boot_timeout"; then
            expect "boot 4 root" "the root is the new snapshot's subvolume" \
                "$(guest_fact "$fourth" root-fsroot)" "/@/.snapshots/$masked_number/snapshot"
            expect "boot 4 command line" "the command line is the entry's options, the mask included" \
                "$(normalise_options "$(guest_fact "$fourth" cmdline)")" \
                "$(normalise_options "$(entry_value "$masked_file" options)")"
            # Whether the system is "running" depends on the timers due in this boot too (a daily
            # one that writes below /var fails in every booted snapshot), so only Snapper's unit
            # is held to it here; the state and the failed units are reported.
            expect "boot 4 snapper-boot" "snapper-boot.service is masked and did not fail" \
                "$(guest_fact "$fourth" snapper-boot.service)" "masked inactive success"
            log "the masked snapshot: state $(guest_fact "$fourth" state), failed units: $(guest_lines "$fourth" | sed -n 's/^fact failed-unit=//p' | paste -sd ' ')"
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

    finish_guest_checks
}
