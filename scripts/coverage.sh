#!/usr/bin/env bash
# Coverage of the whole suite: the stub's code (src/) through the Windows
# test program, instrumented and run under Wine (MinGW's gcov reads the data
# it writes), and the packer's library (packer/lib, packer/format) through
# the host tests.  Prints a table per file of lines and branches, and one
# closing line per tree.
set -euo pipefail
# Text is read, sorted and compared in UTF-8 whatever the machine's locale
# (a bare container has none).
export LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# The Windows tests of the architecture this machine runs, i686 first.
trees=$(scripts/windows-trees.sh build/win build/win64)
win=${trees%%$'\n'*}
gcov=$([ "$win" = build/win ] && echo i686 || echo x86_64)-w64-mingw32-gcov
find $win/CMakeFiles/kvxcore_cov.dir build/host/CMakeFiles/packlib_cov.dir -name '*.gcda' -delete 2>/dev/null || true
cmake --build $win --target kvx_win_tests_cov -j"$(nproc)" >/dev/null
cmake --build build/host --target kvx_host_tests_cov -j"$(nproc)" >/dev/null

echo "== running the tests, instrumented"
"$win/wine-run" "$win/kvx_win_tests_cov.exe" </dev/null >build/coverage-win.log 2>&1 ||
  { tail -20 build/coverage-win.log; echo "coverage: the Windows tests failed"; exit 1; }
build/host/kvx_host_tests_cov >build/coverage-host.log 2>&1 ||
  { tail -20 build/coverage-host.log; echo "coverage: the host tests failed"; exit 1; }

summary() {  # TREE GCOV OBJECTS FILTER
  local tree=$1 gcov=$2 objects=$3 filter=$4
  echo
  echo "== $tree: lines"
  gcovr --gcov-executable "$gcov" -r "$top" --filter "$filter" "$objects" --txt - | sed -n '/^File/,$p'
  echo "== $tree: branches"
  gcovr --gcov-executable "$gcov" -r "$top" --filter "$filter" "$objects" --txt - --branches --exclude-throw-branches --exclude-unreachable-branches | sed -n '/^File/,$p'
  gcovr --gcov-executable "$gcov" -r "$top" --filter "$filter" "$objects" --json-summary - --exclude-throw-branches --exclude-unreachable-branches |
    python3 -c "import json,sys; s=json.load(sys.stdin); print('$tree: %.1f %% lines, %.1f %% branches' % (s['line_percent'], s['branch_percent']))" \
    >>build/coverage-summary.txt
}
rm -f build/coverage-summary.txt
summary src $gcov $win/CMakeFiles/kvxcore_cov.dir 'src/'
summary packer gcov build/host/CMakeFiles/packlib_cov.dir 'packer/'
echo
cat build/coverage-summary.txt
