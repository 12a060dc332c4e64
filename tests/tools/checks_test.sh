#!/usr/bin/env bash
# Plants one fault at a time in a copy of the tree and requires tools/check-layers or
# tools/check-config-keys to fail with the line that names it; a check that passes everything
# would otherwise go unnoticed.
#   tests/tools/checks_test.sh SOURCE_DIRECTORY
set -euo pipefail
source_dir=$(cd "${1:?usage: checks_test.sh SOURCE_DIRECTORY}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
# case CHECK EXPECTED_LINE MUTATION...: copies the tree, runs MUTATION in it, runs tools/CHECK.
case_() {
    local check=$1 expected=$2
    shift 2
    local tree=$scratch/tree
    rm -rf "$tree"
    mkdir -p "$tree/doc" "$tree/packaging"
    cp -r "$source_dir/src" "$source_dir/README.md" "$tree/"
    cp "$source_dir/doc/snapwright.conf.5" "$tree/doc/"
    cp "$source_dir/packaging/snapwright.conf" "$tree/packaging/"
    (cd "$tree" && eval "$*")
    local output status=0
    output=$("$source_dir/tools/$check" "$tree" 2>&1) || status=$?
    if [ -z "$expected" ]; then
        if [ "$status" != 0 ]; then
            echo "FAILED: $check on the unchanged tree: $output" >&2
            failures=$((failures + 1))
        fi
    elif [ "$status" = 0 ] || ! grep -qxF "$check: $expected" <<<"$output"; then
        echo "FAILED: after '$*', $check (exit $status) did not say: $expected" >&2
        echo "$output" >&2
        failures=$((failures + 1))
    fi
}

case_ check-layers '' true
case_ check-layers \
    'src/store/sha256.cpp:1: includes "app/program.hpp", but src/store may use only base store' \
    "sed -i '1i #include \"app/program.hpp\"' src/store/sha256.cpp"
# config sits above store in the table, yet store may not use it.
case_ check-layers \
    'src/store/sha256.cpp:1: includes "config/config.hpp", but src/store may use only base store' \
    "sed -i '1i #include \"config/config.hpp\"' src/store/sha256.cpp"
case_ check-layers \
    'src/provider/btrfs/metadata.cpp:1: includes "provider/snapper/snapper_csv.hpp": src/provider/btrfs and src/provider/snapper do not include each other' \
    "sed -i '1i #include \"provider/snapper/snapper_csv.hpp\"' src/provider/btrfs/metadata.cpp"
case_ check-layers \
    'src/app/main.cpp:1: includes "../store/sha256.hpp", which does not name a header by its path below src/' \
    "sed -i '1i #include \"../store/sha256.hpp\"' src/app/main.cpp"
case_ check-layers "src/extra has no row in the README's Layout table" \
    'mkdir src/extra && touch src/extra/extra.cpp'
case_ check-layers 'README.md: the row of src/store may use `system`, which is not above it' \
    "sed -i 's/^| \`src\/store\` \(.*\)| \`base\` |\$/| \`src\/store\` \1| \`system\`, \`base\` |/' README.md"

case_ check-config-keys '' true
case_ check-config-keys \
    'SNAPSHOT_LIMIT is read by src/config/config.cpp but missing from README.md (Configuration table)' \
    "sed -i '/^| \`SNAPSHOT_LIMIT\`/d' README.md"
case_ check-config-keys \
    'BOOT_PATHS is listed in doc/snapwright.conf.5 (KEYS section) but not read by src/config/config.cpp' \
    "sed -i 's/^\.BI BOOT_PATH= path/.BI BOOT_PATHS= path/' doc/snapwright.conf.5"
case_ check-config-keys 'AUTH_METHOD is listed more than once in packaging/snapwright.conf' \
    "echo 'AUTH_METHOD=doas' >>packaging/snapwright.conf"
case_ check-config-keys \
    'NEW_KEY is read by src/config/config.cpp but missing from packaging/snapwright.conf' \
    "sed -i 's/non_empty(values, \"AUTH_METHOD\")/non_empty(values, \"NEW_KEY\")/' src/config/config.cpp"

if ((failures)); then
    echo "$failures case(s) failed" >&2
    exit 1
fi
echo "every planted fault was reported"
