#!/usr/bin/env python3
"""Replays a dm-log-writes log onto an image file and checks every replayed state of a FAT
partition that snapwright wrote to.

The log is the kernel's format: a super block in the first sector (magic, version, number of
entries, sector size), then one sector per entry (sector, number of sectors, flags, length of
the inline data, which only marks use), each write's data right after its entry sector. The
target logs a write only once a flush covered it, so the log is in the order the writes reached
the medium as far as the flushes tell; between two flushes a drive with a volatile cache may
keep any subset of the completed writes.

States checked, for each generate run between its marks "run-N-begin" and "run-N-end":
  - every flush entry: the log replayed up to it (a FUA write is kept in every state after it);
  - in each stretch between two flushes, a few random prefixes (the writes in log order up to a
    point) and a few random subsets (what a drive cache may have kept of the stretch);
  - the two marks themselves, which must match the guest's record of the files exactly.
Each state must pass: fsck.vfat -n touches no live file; every recorded file (generated entries
and every foreign file) holds its content of the run's start or of its end, or is absent where
one of them had it absent; no other file appears outside the object store except leftover
temporary files; and every object that a generated entry present names exists and hashes to
its name.

Usage: replay_log.py list LOG
       replay_log.py campaign LOG RECORDS SCRATCH_IMAGE [options]   (see --help)
"""
import argparse
import hashlib
import os
import random
import re
import struct
import subprocess
import sys

MAGIC = 0x6A736677736872
FLUSH, FUA, DISCARD, MARK, METADATA = 1, 2, 4, 8, 16
ENTRY = struct.Struct("<QQQQ")
SUPER = struct.Struct("<QQQI")


class LogError(Exception):
    pass


class Entry:
    __slots__ = ("index", "sector", "sectors", "flags", "data_offset", "mark")

    def __init__(self, index, sector, sectors, flags, data_offset, mark):
        self.index, self.sector, self.sectors, self.flags = index, sector, sectors, flags
        self.data_offset, self.mark = data_offset, mark

    def is_write(self):
        return not self.flags & MARK and self.sectors > 0


def read_log(path):
    """Returns (sector size, list of Entry) of a dm-log-writes log."""
    with open(path, "rb") as log:
        head = log.read(SUPER.size)
        if len(head) < SUPER.size:
            raise LogError(f"{path}: too short for a log super block")
        magic, version, count, sector_size = SUPER.unpack(head)
        if magic != MAGIC or version != 1:
            raise LogError(f"{path}: not a dm-log-writes log (magic {magic:#x}, version {version})")
        if sector_size < 512 or sector_size & (sector_size - 1):
            raise LogError(f"{path}: invalid sector size {sector_size}")
        size = os.fstat(log.fileno()).st_size
        entries, position = [], sector_size
        for index in range(count):
            log.seek(position)
            header = log.read(sector_size)
            if len(header) < ENTRY.size:
                raise LogError(f"{path}: entry {index} lies beyond the end of the log")
            sector, sectors, flags, data_length = ENTRY.unpack_from(header)
            mark = None
            if flags & MARK:
                mark = header[ENTRY.size:ENTRY.size + data_length].decode("utf-8", "replace")
            position += sector_size
            data_offset = position
            if not flags & (DISCARD | MARK):
                position += sectors * sector_size
                if position > size:
                    raise LogError(f"{path}: the data of entry {index} is cut off")
            entries.append(Entry(index, sector, sectors, flags, data_offset, mark))
    return sector_size, entries


class Image:
    """An image file that log entries are applied to, with undo for trial states."""

    def __init__(self, path, size, log_path, sector_size):
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
        os.ftruncate(self.fd, size)
        self.log = os.open(log_path, os.O_RDONLY)
        self.sector_size = sector_size
        self.path = path

    def apply(self, entry, undo=None):
        if not entry.is_write():
            return
        offset = entry.sector * self.sector_size
        length = entry.sectors * self.sector_size
        if entry.flags & DISCARD:
            data = bytes(length)
        else:
            data = os.pread(self.log, length, entry.data_offset)
        if undo is not None:
            undo.append((offset, os.pread(self.fd, length, offset)))
        os.pwrite(self.fd, data, offset)

    def rollback(self, undo):
        for offset, data in reversed(undo):
            os.pwrite(self.fd, data, offset)
        undo.clear()

    def close(self):
        os.close(self.fd)
        os.close(self.log)


# --- reading the FAT file system with mtools ------------------------------------------------

def mtools(*arguments, image):
    environment = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    return subprocess.run([arguments[0], "-i", image, *arguments[1:]], capture_output=True,
                          env=environment)


def list_files(image):
    """(every file path on the FAT, "/" separated from the root; the directories that cannot be
    listed). One directory at a time, so that a directory torn by the power cut hides only
    what lies inside it."""
    paths, unreadable, pending = set(), set(), ["/"]
    while pending:
        directory = pending.pop()
        result = mtools("mdir", "-b", "::" + directory, image=image)
        if result.returncode != 0:
            unreadable.add(directory)
            continue
        for line in result.stdout.decode("utf-8", "replace").splitlines():
            if not line.startswith("::/"):
                continue
            path = line[2:]
            if path.endswith("/"):
                if path != directory and len(path) > len(directory):
                    pending.append(path)
            else:
                paths.add(path)
    return paths, unreadable


def file_bytes(image, path):
    result = mtools("mtype", "::" + path, image=image)
    return result.stdout if result.returncode == 0 else None


def digest(data):
    return None if data is None else hashlib.sha256(data).hexdigest()


def read_record(path):
    """A record of the guest: path -> SHA-256 digest of every file but objects and temporaries."""
    files = {}
    with open(path, encoding="utf-8") as record:
        for line in record:
            value, name = line.rstrip("\n").split("  ", 1)
            files[name[1:] if name.startswith("./") else name] = value
    return files


def is_temporary(path):
    name = path.rsplit("/", 1)[-1]
    return name.startswith(".") and ".tmp-" in name


def entry_objects(text):
    """The asset paths that a generated entry's linux, initrd and devicetree lines name."""
    paths = []
    for line in text.splitlines():
        key, _, value = line.strip().partition(" ")
        if key in ("linux", "initrd", "devicetree") and value.strip():
            paths.append(value.strip())
    return paths


def fsck(image, *options):
    """(exit status, output lines) of fsck.vfat on the image."""
    result = subprocess.run(["fsck.vfat", *options, image], capture_output=True)
    text = (result.stdout + result.stderr).decode("utf-8", "replace")
    return result.returncode, [line for line in text.splitlines() if line.strip()]


# What fsck.vfat prints about every file system that was mounted when the power failed, and its
# own framing: not a repair.
BENIGN_FSCK = re.compile(r"^fsck\.fat |Dirty bit is set|Fs was not properly unmounted|"
                         r"differences between boot sector and its backup|mostly harmless|"
                         r"^\s*65:01/00$|Not automatically fixing this|"
                         r"Automatically removing dirty bit|Leaving filesystem unchanged|"
                         r"Performing changes|Auto-correcting|^\S+: \d+ files, \d+/\d+ clusters$|"
                         r"^\s*(1\) |2\) )?(Remove dirty bit|No action)")


def repairs(lines):
    return [line.strip() for line in lines if not BENIGN_FSCK.search(line)]


EMPTY = hashlib.sha256(b"").hexdigest()
SHORT_ALIAS = re.compile(r"[A-Z0-9_]{1,6}~\d{1,6}(\.[A-Z0-9_]{1,3})?")
# Prefix of the lines that report what FAT itself cannot keep whole, whatever a program does;
# they are counted apart and do not fail the campaign.
FAT_LIMIT = "FAT limit: "


def cut_beside_temporaries(lines):
    """The files that fsck.vfat cut to 0 bytes because they shared their clusters with a
    temporary met before them: what a torn rename leaves ("<temporary>  and", "<file>",
    "share clusters.", "Truncating second to 0 bytes.")."""
    def temporary(path):
        # A temporary whose long name a torn write cut off keeps only its short alias, ".TMP"
        # from the ".tmp-" of the long name.
        name = path.rsplit("/", 1)[-1]
        return is_temporary(path) or (SHORT_ALIAS.fullmatch(name) and name.endswith(".TMP"))

    cut = set()
    for index in range(len(lines) - 3):
        first, second = lines[index].strip(), lines[index + 1].strip()
        if (first.endswith(" and") and temporary(first[:-4].strip())
                and lines[index + 2].strip() == "share clusters."
                and lines[index + 3].strip() == "Truncating second to 0 bytes."):
            cut.add(second)
    return cut


def inspect(image, before, after, exact=None, emptied=frozenset()):
    """The violations of the files on one FAT image, as text lines.

    before and after are the records at the run's two marks; exact, when given, is the record
    that the image must match exactly. emptied names the generated entries that fsck.vfat cut
    to 0 bytes beside the temporary of their rename, which the firmware found whole before."""
    present, unreadable = list_files(image)
    if "/" in unreadable:
        return ["mtools cannot read the root directory"]
    violations = []
    live = set(before) | set(after)
    contents = {path: file_bytes(image, path) for path in live if path in present}
    for path in sorted(live):
        now = digest(contents.get(path))
        if exact is not None:
            if now != exact.get(path):
                violations.append(f"{path}: differs from the record at the mark")
        elif now not in {before.get(path), after.get(path)}:
            state = "missing" if now is None else "neither the old nor the new content"
            if now == EMPTY and after.get(path) is None:
                state = "left as an empty file where the run removes it"
            elif now == EMPTY and path in emptied:
                # A rename on FAT writes the new name and clears the temporary's in two places;
                # cut between them, both name one chain, and fsck.vfat keeps it for the one it
                # meets first. The next generate writes the entry again.
                violations.append(f"{FAT_LIMIT}{path}: cut to an empty file by fsck.vfat beside "
                                  "the temporary of its rename")
                continue
            hidden = [d for d in unreadable if path.startswith(d)]
            if now is None and hidden:
                state += f" (the directory {hidden[0]} cannot be read)"
            violations.append(f"{path}: {state}")
    for path in sorted(present - live):
        # fsck.vfat -a saves lost cluster chains in the root as FSCKnnnn.REC.
        if not (is_temporary(path) or path.startswith("/snapwright/")
                or re.fullmatch(r"/FSCK\d{4}\.REC", path)):
            if SHORT_ALIAS.fullmatch(path.rsplit("/", 1)[-1]):
                # A long name is stored in slots before its short name, in a sector of its own
                # when they straddle one: a torn directory write keeps the short alias alone.
                violations.append(f"{FAT_LIMIT}{path}: the short name of a torn long name")
            else:
                violations.append(f"{path}: unexpected file")
    for path in sorted(live):
        name = path.rsplit("/", 1)[-1]
        data = contents.get(path)
        if not (path.startswith("/loader/entries/") and name.startswith("snapwright-")):
            continue
        if data is None or digest(data) not in {before.get(path), after.get(path)}:
            continue
        for asset in entry_objects(data.decode("utf-8", "replace")):
            if asset not in present:
                hidden = [d for d in unreadable if asset.startswith(d)]
                note = f" (the directory {hidden[0]} cannot be read)" if hidden else ""
                violations.append(f"{path}: names the missing object {asset}{note}")
            elif digest(file_bytes(image, asset)) != asset.rsplit("/", 1)[-1].lower():
                violations.append(f"{path}: names the object {asset}, which does not hash to its name")
    return violations


def check_state(image, before, after, exact=None, repaired=None):
    """(violations, repair lines of fsck.vfat -n) of one replayed state.

    The files are checked twice when repaired names a scratch file: as the firmware reads the
    partition after the power cut, and as the system sees it once fsck.vfat -a has repaired a
    copy at the next boot, so that a repair that loses a live file counts."""
    _, lines = fsck(image, "-n")
    violations = inspect(image, before, after, exact)
    if repaired:
        subprocess.run(["cp", "--sparse=always", "--reflink=auto", image, repaired], check=True)
        _, fixed = fsck(repaired, "-a")
        whole = {path for path in cut_beside_temporaries(fixed)
                 if path.startswith("/loader/entries/snapwright-")
                 and not any(line.startswith(f"{path}: ") for line in violations)}
        violations += [f"after fsck.vfat -a: {line}"
                       for line in inspect(repaired, before, after, exact, whole)]
        os.unlink(repaired)
    return violations, repairs(lines)


def kind_of(violation):
    """The class of a violation line, for the summary."""
    prefix = "after fsck.vfat -a: " if "after fsck.vfat -a: " in violation else ""
    if FAT_LIMIT in violation:
        prefix = FAT_LIMIT + prefix
    for pattern, kind in ((r": missing( \(|$)", "file missing"), (r": neither", "file torn"),
                          (r"left as an empty file", "removed entry left as an empty file"),
                          (r"short name of a torn long name", "short name of a torn long name"),
                          (r"cut to an empty file by fsck", "entry cut beside its rename's temporary"),
                          (r": unexpected file$", "unexpected file"),
                          (r"names the missing object", "entry names a missing object"),
                          (r"does not hash", "entry names a corrupt object"),
                          (r"cannot read the root", "root directory unreadable"),
                          (r"differs from the record", "differs at a mark")):
        if re.search(pattern, violation):
            return prefix + kind
    return prefix + "other"


# --- the campaign ---------------------------------------------------------------------------

def plan_windows(entries):
    """[(run number, index of the begin mark, index of the end mark)] of the log."""
    begins, windows = {}, []
    for entry in entries:
        if entry.mark is None:
            continue
        match = re.fullmatch(r"run-(\d+)-(begin|end)", entry.mark)
        if not match:
            continue
        run = int(match.group(1))
        if match.group(2) == "begin":
            begins[run] = entry.index
        elif run in begins:
            windows.append((run, begins.pop(run), entry.index))
    return windows


def epochs(entries, begin, end):
    """The stretches of writes between flushes inside (begin, end): lists of entry indices, each
    ending with its flush entry when it has one. A FUA write is durable once logged but flushes
    nothing before it, so it stays inside its stretch and is kept in every subset."""
    stretches, current = [], []
    for index in range(begin + 1, end):
        current.append(index)
        if entries[index].flags & FLUSH and not entries[index].flags & MARK:
            stretches.append(current)
            current = []
    if current:
        stretches.append(current)
    return stretches


def campaign(arguments):
    sector_size, entries = read_log(arguments.log)
    size = arguments.size
    windows = plan_windows(entries)
    if not windows:
        raise LogError("the log has no run marks")
    records = arguments.records
    random_source = random.Random(arguments.seed)

    # The whole plan first, so that the states exported for the guest's check are spread over it.
    states = []  # (run, stretch number, kind, sorted entry indices applied after the durable part)
    for run, begin, end in windows:
        states.append((run, -1, "mark", ()))
        for number, stretch in enumerate(epochs(entries, begin, end)):
            writes = [i for i in stretch if entries[i].is_write()]
            if len(writes) > 1:
                cuts = sorted(random_source.sample(range(1, len(writes)),
                                                   min(arguments.prefixes, len(writes) - 1)))
                for cut in cuts:
                    states.append((run, number, "prefix", tuple(writes[:cut])))
                for _ in range(arguments.subsets):
                    durable = [i for i in writes if entries[i].flags & FUA]
                    kept = [i for i in writes if i in durable or random_source.random() < 0.5]
                    states.append((run, number, "subset", tuple(kept)))
            if entries[stretch[-1]].flags & FLUSH:
                states.append((run, number, "flush", None))
        states.append((run, 1 << 30, "mark", ()))
    exported = set()
    if arguments.export:
        # Half of the exported states from the torn ones, the rest from the flush states.
        torn = [i for i, s in enumerate(states) if s[2] in ("prefix", "subset")]
        whole = [i for i, s in enumerate(states) if s[2] == "flush"]
        for pool, share in ((torn, (arguments.export + 1) // 2), (whole, arguments.export // 2)):
            exported.update(random_source.sample(pool, min(share, len(pool))))
    exported = sorted(exported)

    image = Image(arguments.image, size, arguments.log, sector_size)
    report = open(arguments.report, "w", encoding="utf-8") if arguments.report else None
    counts = {"mark": 0, "flush": 0, "prefix": 0, "subset": 0}
    violating, repaired, violation_lines = 0, 0, 0
    kinds = {}
    exported_states = []
    position = 0  # entries before this index are applied
    state_number = 0
    repair_copy = arguments.image + ".repaired"

    def advance(to):
        nonlocal position
        while position < to:
            image.apply(entries[position])
            position += 1

    def check(run, kind, label, exact=None):
        nonlocal violating, repaired, violation_lines, state_number
        before = read_record(os.path.join(records, f"run-{run}-begin.files"))
        after = read_record(os.path.join(records, f"run-{run}-end.files"))
        violations, repairs = check_state(arguments.image, before, after, exact, repair_copy)
        counts[kind] += 1
        repaired += bool(repairs)
        failing = [line for line in violations if FAT_LIMIT not in line]
        if failing:
            violating += 1
            violation_lines += len(failing)
        for line in violations:
            kinds[kind_of(line)] = kinds.get(kind_of(line), 0) + 1
        if report:
            print(f"state {state_number} run {run} {label}: {len(failing)} violations"
                  f"{'' if repairs else ', fsck.vfat -n: only the dirty bit'}", file=report)
            for line in violations:
                print(f"    {line}", file=report)
            for line in repairs:
                print(f"    fsck.vfat -n: {line}", file=report)
        if state_number in exported:
            slot = exported.index(state_number)
            subprocess.run(["dd", f"if={arguments.image}", f"of={arguments.export_disk}",
                            "bs=1M", f"seek={slot * size // (1 << 20)}", "conv=sparse,notrunc",
                            "status=none"], check=True)
            exported_states.append(f"slot {slot}: state {state_number} run {run} {label}")
        state_number += 1

    for run, begin, end in windows:
        stretches = epochs(entries, begin, end)
        advance(begin + 1)
        begin_record = read_record(os.path.join(records, f"run-{run}-begin.files"))
        planned = [s for s in states if s[0] == run]
        check(run, "mark", f"mark run-{run}-begin", exact=begin_record)
        for number, stretch in enumerate(stretches):
            trials = [s for s in planned if s[1] == number and s[2] in ("prefix", "subset")]
            undo = []
            for _, _, kind, applied in trials:
                for index in applied:
                    image.apply(entries[index], undo)
                check(run, kind, f"{kind} of stretch {number} ({len(applied)} of "
                      f"{sum(entries[i].is_write() for i in stretch)} writes)")
                image.rollback(undo)
            advance(stretch[-1] + 1)
            if any(s[1] == number and s[2] == "flush" for s in planned):
                check(run, "flush", f"flush at entry {stretch[-1]}")
        advance(end + 1)
        check(run, "mark", f"mark run-{run}-end",
              exact=read_record(os.path.join(records, f"run-{run}-end.files")))
    image.close()
    total = sum(counts.values())
    summary = (f"states checked: {total} (marks {counts['mark']}, flushes {counts['flush']}, "
               f"prefixes {counts['prefix']}, subsets {counts['subset']}); "
               f"states with violations: {violating} ({violation_lines} violations); "
               f"states where fsck.vfat -n finds more than the dirty bit: {repaired}")
    for kind, number in sorted(kinds.items()):
        summary += f"\n  {number} x {kind}"
    if report:
        print(summary, file=report)
        for line in exported_states:
            print(f"exported {line}", file=report)
        report.close()
    print(summary)
    for line in exported_states:
        print(f"exported {line}")
    return 1 if violating else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="print the entries of a log")
    listing.add_argument("log")
    run = commands.add_parser("campaign", help="replay and check the states of a log")
    run.add_argument("log")
    run.add_argument("records", help="directory of the guest's records (MARK.files)")
    run.add_argument("image", help="scratch image file that the states are replayed onto")
    run.add_argument("--size", type=int, required=True, help="size of the logged device in bytes")
    run.add_argument("--prefixes", type=int, default=2, help="random prefixes per stretch")
    run.add_argument("--subsets", type=int, default=2, help="random subsets per stretch")
    run.add_argument("--seed", type=int, default=1)
    run.add_argument("--export", type=int, default=0, help="states to copy for the guest check")
    run.add_argument("--export-disk", help="file the exported states are written to, one per size")
    run.add_argument("--report", help="file for one line per state and its violations")
    arguments = parser.parse_args()
    try:
        if arguments.command == "list":
            sector_size, entries = read_log(arguments.log)
            names = ((FLUSH, "flush"), (FUA, "fua"), (DISCARD, "discard"), (MARK, "mark"),
                     (METADATA, "metadata"))
            for entry in entries:
                flags = ",".join(name for bit, name in names if entry.flags & bit) or "-"
                mark = f" {entry.mark}" if entry.mark is not None else ""
                print(f"{entry.index} {flags} sector={entry.sector} sectors={entry.sectors}{mark}")
            return 0
        return campaign(arguments)
    except LogError as error:
        print(f"replay_log: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
