#!/bin/sh
# The board build and the static checks: cross-builds everything for 64-bit
# ARM (warnings are errors) and runs the unit tests under qemu-user, then runs
# clang-tidy and cppcheck over the sources. Any failure or finding fails.
#
#   .ci/arm_and_static.sh            # both
#   .ci/arm_and_static.sh arm        # only the ARM build and tests
#   .ci/arm_and_static.sh static     # only clang-tidy and cppcheck
#   .ci/arm_and_static.sh deps       # only install what they need
set -eu
cd "$(dirname "$0")/.."

what="${1:-all}"
jobs="${JOBS:-$(nproc)}"
started=$(date +%s)
stage() { echo "== $1 ($(($(date +%s) - started)) s)"; }

need=""
for pkg in cmake make g++ g++-aarch64-linux-gnu qemu-user googletest libgtest-dev \
    libssl-dev libssl-dev:arm64 clang-tidy-14 cppcheck pkg-config libmicrohttpd-dev \
    nlohmann-json3-dev libmosquitto-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need="$need $pkg"
done
if [ -n "$need" ]; then
    # The board build links the target's libcrypto, a Debian multiarch package.
    dpkg --add-architecture arm64
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $need
fi
[ "$what" = deps ] && exit 0

status=0

if [ "$what" = all ] || [ "$what" = arm ]; then
    stage "ARM cross build"
    # The board's optimisation without its debug information, which nothing
    # here reads and which took a third of a test file's compile time.
    cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    # The board's programs and the unit tests that run under the emulator; the
    # end-to-end tests and the soak, which cannot run here (see below), are
    # left to the native and sanitizer builds, which compile them with
    # warnings as errors too. A unit test program missing from this list
    # shows as a failing *_NOT_BUILT test.
    cmake --build build-arm -j "$jobs" --target ferrule ferrule_sim_repeater ferrule_sim_peer \
        dmr_tests core_tests ids_tests hytera_tests network_tests voice_tests app_tests
    stage "ARM unit tests under qemu-aarch64"
    # Tests labelled e2e start the daemon and the simulators as child
    # processes, which the emulator cannot do without binfmt, and those
    # labelled threads start threads, which qemu-user here never joins; the
    # native and sanitizer builds run them.
    # The end-to-end program, not built, stands in CTest as one unlabelled
    # e2e_tests_NOT_BUILT entry, left out by name.
    ctest --test-dir build-arm -LE 'e2e|threads' -E '^e2e_tests_NOT_BUILT$' --no-tests=error \
        --output-on-failure -j "$jobs" || status=1
fi

if [ "$what" = all ] || [ "$what" = static ]; then
    stage "compilation database for the static checks"
    cmake -S . -B build-tidy -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRULE_BUILD_BENCHMARKS=OFF \
        >/dev/null
    # The one generated header the sources include.
    cmake --build build-tidy --target ferrule_status_page_html >/dev/null
    # The project's own translation units; third-party code and fuzz/ stay out.
    sed -n 's/^ *"file": "\(.*\)",*$/\1/p' build-tidy/compile_commands.json |
        grep -E '/(app|core|hytera|ids|network|voice|status|dmr|sim)/[^/]+\.cpp$' | sort -u >build-tidy/sources.txt
    grep -v '_test\.cpp$' build-tidy/sources.txt >build-tidy/sources-main.txt || true
    grep '_test\.cpp$' build-tidy/sources.txt >build-tidy/sources-test.txt || true

    stage "clang-tidy on $(wc -l <build-tidy/sources.txt) files"
    tidy_log=build-tidy/clang-tidy.log
    : >"$tidy_log"
    # The path-sensitive analyzer spends most of its time in the expanded test
    # macros; it runs on the daemon and simulator sources, every other check
    # runs on the tests too. One queue for both, so that no processor waits
    # for the last file of the first half.
    cat build-tidy/sources-main.txt build-tidy/sources-test.txt |
        xargs -P "$jobs" -n 1 sh -c 'case "$1" in
            *_test.cpp) set -- "--checks=-clang-analyzer-*" "$1" ;;
            esac
            exec clang-tidy-14 -p build-tidy --quiet --warnings-as-errors="*" "$@"' clang-tidy \
        >>"$tidy_log" 2>&1 || status=1
    grep -v -e 'warnings\{0,1\} generated\.$' -e 'warnings\{0,1\} treated as errors$' \
        "$tidy_log" || true
    echo "clang-tidy findings: $(grep -c ': \(error\|warning\): .*\]$' "$tidy_log" || true)"

    stage "cppcheck"
    # The same directories as clang-tidy (paths relative to the checkout).
    cppcheck --project=build-tidy/compile_commands.json --enable=warning,performance,portability \
        --file-filter='app/*' --file-filter='core/*' --file-filter='hytera/*' --file-filter='network/*' \
        --file-filter='voice/*' --file-filter='status/*' --file-filter='dmr/*' --file-filter='ids/*' --file-filter='sim/*' \
        --library=googletest --library=posix --inline-suppr \
        --suppressions-list=.ci/cppcheck-suppressions.txt --error-exitcode=1 --quiet \
        --template=gcc -j "$jobs" || status=1
fi

stage "done, status $status"
exit "$status"
