# The host's side of the boot test modes whose checks run in a guest booted with systemd, sourced
# by run: puts the package built from this tree, a program of the guest's and the unit that
# starts it into the image; boots the disk (always with the same EFI variables, so that a
# one-shot entry set in one boot applies to the next); reads the guest's report (guest-report.sh)
# and records the checks. It uses run's settings (binary, work, root, disk, boot_timeout, cache,
# run_started) and helpers (boot_disk).
# shellcheck shell=bash disable=SC2154

guest_results=()
guest_failures=0
guest_timings=()

# Records one check: verdict PASS|FAIL NAME DETAIL.
verdict() {
    guest_results+=("$1 $2: $3")
    [[ $1 == PASS ]] || guest_failures=$((guest_failures + 1))
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

# The guest's report lines in a serial log, without their prefix (whatever the console printed
# before it on the same line, a login prompt say, is dropped too).
guest_lines() {
    tr -d '\r' <"$1" | sed -n 's/^.*SNAPWRIGHT-GUEST //p'
}

# The last value the guest reported for a fact.
guest_fact() {
    guest_lines "$1" | sed -n "s/^fact $2=//p" | tail -n 1
}

# A key's value in an entry file.
entry_value() {
    sed -n "s/^$2[[:space:]]\+//p" "$1" | head -n 1
}

# Builds the Debian package of the build tree of $binary and sets package_file to it.
build_package() {
    local build_directory=${binary%/*} packages
    [[ -f $build_directory/CMakeCache.txt ]] ||
        die "the package is built from the build tree of $binary, which has no CMakeCache.txt"
    log "building the package from $build_directory"
    (cd "$build_directory" && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; die "cpack -G DEB failed"; }
    packages=("$work"/package/snapwright_*.deb)
    [[ -f ${packages[0]} ]] || die "cpack made no snapwright_*.deb"
    package_file=${packages[0]}
}

# Puts the package (in /root/boot-test), guest-report.sh, the given program of the guest's as
# /usr/local/sbin/boot-test-guest and its unit, enabled, into @ (mounted at $root).
install_guest() {
    local program=$1
    build_package
    install -d -m 0700 "$root/root/boot-test"
    cp "$package_file" "$root/root/boot-test/"
    install -D -m 0644 "$here/guest-report.sh" "$root/usr/local/lib/boot-test/guest-report.sh"
    install -m 0755 "$here/$program" "$root/usr/local/sbin/boot-test-guest"
    install -m 0644 "$here/boot-test-guest.service" "$root/etc/systemd/system/boot-test-guest.service"
    mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
    ln -s /etc/systemd/system/boot-test-guest.service \
        "$root/etc/systemd/system/multi-user.target.wants/boot-test-guest.service"
}

# Boots once (boot NUMBER of TOTAL, within TIMEOUT seconds) and shows the guest's report, which
# is kept as serial-guest-NUMBER.log in the work directory; records the guest's checks, and fails
# the boot's check when the report is incomplete or the guest did not report the stage NUMBER.
guest_boot() {
    local number=$1 total=$2 boot_timeout=$3 serial_log=$work/serial-guest-$1.log started seconds
    log "booting ($mode, boot $number of $total)"
    started=$(now)
    boot_disk "$serial_log" "$work/ovmf-vars-guest.fd"
    seconds=$(elapsed_since "$started")
    log "timing: boot ($mode $number) $seconds s"
    guest_timings+=("boot $number: $seconds s")
    guest_lines "$serial_log" | sed 's/^/    /'
    local result name detail
    while read -r result name detail; do
        verdict "$result" "boot $number ${name%:}" "$detail"
    done < <(guest_lines "$serial_log" | grep -E '^(PASS|FAIL) ')
    if ! guest_lines "$serial_log" | grep -qx END; then
        verdict FAIL "boot $number" "the guest did not finish its report"
        echo "    the last lines of the serial log:"
        tr -d '\r' <"$serial_log" | tail -n 40 | sed 's/^/    | /'
        sed 's/^/    qemu: /' "$serial_log.qemu"
        return 1
    fi
    expect "boot $number stage" "the guest ran its boot-$number steps" \
        "$(guest_fact "$serial_log" stage)" "$number"
}

# Prints the checks and the summary line; keeps the serial logs and fails when a check failed.
finish_guest_checks() {
    log "summary:"
    printf '    %s\n' "${guest_results[@]}" "${guest_timings[@]}"
    log "$mode: ${#guest_results[@]} checks, $((${#guest_results[@]} - guest_failures)) passed, $guest_failures failed"
    log "timing: whole run $(elapsed_since "$run_started") s"
    if ((guest_failures)); then
        local kept
        kept=$cache/logs/$mode-$(date -u +%Y%m%dT%H%M%SZ)
        mkdir -p "$kept"
        cp "$work"/serial-guest-*.log "$kept"/ 2>/dev/null
        die "$guest_failures $mode checks failed; serial logs kept in $kept"
    fi
    log "every $mode check passed"
}
