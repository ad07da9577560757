#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (no recovery: undefined behaviour aborts), then
# runs the C++ tests and the Python test suite under them (all but the
# examples that drive third-party libraries, the commands, the Dask cluster
# and the 2^23-node graphs: pure Python over the module, or measures that
# take many minutes under the sanitizers and exercise nothing the rest does
# not, whose size thresholds the C++ tests cross at small settings); then
# the C++ tests again under
# ThreadSanitizer, for the thread pool of walks by number. Warnings are
# errors here. Needs what scripts/run-tests.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/asan -DVANTREL_SANITIZE=ON -DVANTREL_BUILD_TESTS=ON -DVANTREL_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan --parallel "$(nproc)"
ctest --test-dir build/asan --output-on-failure --parallel "$(nproc)"

# The interpreter is not built with the sanitizers: preload their runtime
# (with libstdc++, whose exception machinery it intercepts), let Python use
# plain malloc so that ASan sees every allocation, and leave the
# interpreter's own never-freed allocations out of leak reports. Three tests
# are left out, as measures the sanitizer itself upsets: calls under an
# address-space limit (its shadow memory and thread bookkeeping need more
# than that limit), and resident memory across constructions (its quarantine
# holds freed memory back, by design, so resident memory grows or not with
# what ran before). Both run in the plain suite. So does PyTorch's
# DataLoader with worker processes: it forks the test's process, whose other
# threads (xdist's among them) may hold the sanitizer allocator's lock at the
# fork, and a worker that waits for it forever hangs the loader.
# The Python suite runs on a worker per CPU (pytest-xdist): under ASan the
# interpreter itself is several times slower, and the suite's time was most
# of CI's. It takes two to three minutes: past twenty it has hung somewhere
# no test's own time limit reaches (xdist's controller, say), and it is
# stopped, failing the job, rather than left to wait for CI's limit.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
PYTHONPATH="$PWD/build/asan" timeout --signal=INT --kill-after=60 20m python3 -m pytest -p no:cacheprovider -n "$(nproc)" tests \
  --ignore tests/test_examples.py --ignore tests/test_docs.py --ignore tests/test_cli.py --ignore tests/test_embed.py --ignore tests/test_dask.py \
  --ignore tests/test_large_graphs.py \
  --deselect tests/test_corpus.py::test_address_space_limit_gives_memory_error_not_death \
  --deselect tests/test_hardening.py::test_no_call_dies_for_lack_of_memory \
  --deselect tests/test_hardening.py::test_construct_and_drop_keeps_resident_memory_flat \
  --deselect "tests/test_batches.py::test_a_data_loader_sees_the_same_batches_with_any_number_of_workers[2]" "$@"

cmake -S . -B build/tsan -DVANTREL_SANITIZE_THREAD=ON -DVANTREL_BUILD_MODULE=OFF -DVANTREL_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan --parallel "$(nproc)"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure --parallel "$(nproc)"
