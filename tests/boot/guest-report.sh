# Helpers of the programs that the boot test runs inside a guest booted with systemd (see
# guest.sh on the host's side): sourced by them, installed into the image beside them. Every
# report goes to the serial console as a line starting with SNAPWRIGHT-GUEST: "step TEXT" (what
# runs now), "| TEXT" (output), "PASS NAME: TEXT" and "FAIL NAME: TEXT" (a check of the guest's
# own), "fact NAME=VALUE" (for the checks on the host), "END" (the boot's report is complete).
# shellcheck shell=bash
set -uo pipefail
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin
export PATH DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
# What the host put into the image for the guest: the package built from the tree under test.
guest_files=/root/boot-test
loader_vendor=4a67b082-0a4c-41cf-b6c7-440b29bb8c4f
# Keep kernel messages from interleaving with the report.
printf '1\n' >/proc/sys/kernel/printk 2>/dev/null

line() {
    printf 'SNAPWRIGHT-GUEST %s\n' "$*" >/dev/console
}
step() { line "step $*"; }
pass() { line "PASS $1: $2"; }
fail() { line "FAIL $1: $2"; }
fact() { line "fact $1=$2"; }
# Runs a command, reports its output and returns its status.
show() {
    local output status
    output=$("$@" 2>&1)
    status=$?
    [[ -z $output ]] || while IFS= read -r text; do line "| $text"; done <<<"$output"
    return "$status"
}
# Reports PASS or FAIL for a command: check NAME DETAIL COMMAND...
check() {
    local name=$1 detail=$2
    shift 2
    if "$@"; then pass "$name" "$detail"; else fail "$name" "$detail"; fi
}

# A systemd-boot variable as text (UTF-16 after four attribute bytes), empty when unset. Read
# through a pipe: tail given the efivarfs file itself printed nothing in the guest.
loader_variable() {
    local file=/sys/firmware/efi/efivars/$1-$loader_vendor
    # shellcheck disable=SC2002
    [[ -r $file ]] && cat "$file" | tail -c +5 | tr -d '\0'
}

# Whether bootctl list shows an entry with the given id.
listed() {
    [[ -n $1 ]] && sed 's/^ *//' <<<"$2" | grep -qxF "id: $1"
}

settle() {
    timeout 300 systemctl is-system-running --wait >/dev/null 2>&1
    fact state "$(systemctl is-system-running 2>/dev/null)"
}

# How the machine booted, for the host's checks.
boot_facts() {
    local cmdline fsroot source fstype options
    read -r cmdline </proc/cmdline
    fact cmdline "$cmdline"
    read -r source fstype fsroot options < <(findmnt --noheadings --output SOURCE,FSTYPE,FSROOT,OPTIONS /)
    fact root-source "$source"
    fact root-fstype "$fstype"
    fact root-fsroot "$fsroot"
    fact root-mode "${options%%,*}"
    fact entry-selected "$(loader_variable LoaderEntrySelected)"
    # bootctl's own reading: the id below the title it marks "(selected)".
    fact bootctl-selected "$(bootctl list --no-pager 2>/dev/null |
        awk '/^ *title:.*\(selected\)/ { mark = 1 } mark && /^ *id:/ { print $2; exit }')"
    fact kernel-release "$(uname -r)"
    fact esp-mount "$(findmnt --noheadings --output FSTYPE,OPTIONS /boot/efi)"
}

# The failed units with the last lines of their journals, and the Snapper units' results.
system_facts() {
    local unit
    for unit in $(systemctl list-units --state=failed --no-legend --plain | awk '{ print $1 }'); do
        fact failed-unit "$unit"
        journalctl --boot --unit="$unit" --output=cat --no-pager 2>/dev/null | awk '!seen[$0]++' |
            tail -n 6 | while IFS= read -r text; do line "| $unit: $text"; done
    done
    for unit in snapper-boot.timer snapper-timeline.timer snapper-cleanup.timer; do
        fact "enabled-$unit" "$(systemctl is-enabled "$unit" 2>/dev/null)"
    done
    # One property at a time: systemctl show prints several in an order of its own.
    local property states=()
    for property in LoadState ActiveState Result; do
        states+=("$(systemctl show --property="$property" --value snapper-boot.service)")
    done
    fact snapper-boot.service "${states[*]}"
}

