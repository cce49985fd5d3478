# One entry point for the whole set-up: every target installs what it needs on demand.
#   make demo    diff two bundled JSON documents and print the differences
#   make test    build the module and run every check that CI runs
#   make bench-rows  keyed datasets of about 1 GB a side: corvane-diff rows against DuckDB, datacompy and deepdiff

PY       ?= python3.14
PYD      ?= python3.14d
VENV     := .venv
VENVD    := .venv-debug
WERROR   ?= OFF
PIP      := pip install --quiet --disable-pip-version-check
PIP_BUILD_FLAGS := --no-build-isolation --quiet --disable-pip-version-check
CMAKE_DEFINES = -Ccmake.define.CORVANE_WERROR=$(WERROR)
BUILD_DEPS := scikit-build-core cmake ninja
# dask, distributed and pyarrow: the keyed datasets on a Dask LocalCluster and in Parquet files; duckdb
# reads the differences file back in a query.
TEST_DEPS  := pytest hypothesis mypy jsonpatch deepdiff pyyaml msgspec 'dask[dataframe]' distributed pyarrow duckdb
BENCH_DEPS := deepdiff dictdiffer jsondiff matplotlib
ROWS_BENCH_DEPS := datacompy pandas deepdiff psutil duckdb

.PHONY: all toolchain build build-debug demo test test-release test-debug test-asan test-faults typecheck \
        fuzz-long fuzz-hooks-long bench bench-quick bench-rows bench-rows-quick sweep-rows perf-guard clean

all: build

toolchain:
	@bash tools/setup-toolchain.sh

# The stamp depends on the Makefile so that a changed TEST_DEPS reaches an existing .venv.
$(VENV)/.ready: tools/setup-toolchain.sh Makefile
	@bash tools/setup-toolchain.sh
	[ -x $(VENV)/bin/python ] || $(PY) -m venv $(VENV)
	$(VENV)/bin/$(PIP) $(BUILD_DEPS) $(TEST_DEPS)
	@touch $@

$(VENVD)/.ready: tools/setup-toolchain.sh
	@bash tools/setup-toolchain.sh
	$(PYD) -m venv $(VENVD)
	$(VENVD)/bin/$(PIP) $(BUILD_DEPS) pytest hypothesis
	@touch $@

$(VENV)/.bench-ready: $(VENV)/.ready
	$(VENV)/bin/$(PIP) $(BENCH_DEPS)
	@touch $@

$(VENV)/.bench-rows-ready: $(VENV)/.ready
	$(VENV)/bin/$(PIP) $(ROWS_BENCH_DEPS)
	@touch $@

build: $(VENV)/.ready
	$(VENV)/bin/pip install $(PIP_BUILD_FLAGS) $(CMAKE_DEFINES) .

build-debug: $(VENVD)/.ready
	$(VENVD)/bin/pip install $(PIP_BUILD_FLAGS) $(CMAKE_DEFINES) -Ccmake.build-type=Debug .

# corvane-diff exits 1 when the documents differ, as they do here.
demo: build
	@$(VENV)/bin/corvane-diff examples/data/before.json examples/data/after.json || [ $$? -eq 1 ]

test: test-release test-debug test-asan test-faults typecheck bench-quick perf-guard

test-release: build
	$(VENV)/bin/python -m pytest -q

# The debug interpreter repeats every test and fails any whose total reference count grows.
# tests/tools (the pure-Python report, tool and plugin) runs in the release suite only; the
# allocation failures run under the debug interpreter in test-faults.
test-debug: build-debug
	$(VENVD)/bin/python -m pytest -q --leak-check --ignore=tests/tools --ignore=tests/test_alloc_failures.py

# The module built with an operator new that fails on a chosen allocation, under the debug
# interpreter: every call ends in its result, MemoryError or PanicException, and leaks nothing.
test-faults: build-debug
	@bash tools/fault_build.sh $(VENVD) --leak-check

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, over the whole suite.
test-asan: $(VENV)/.ready
	@bash tools/sanitize.sh

# The type stubs against the real module, and a typed usage file that must pass mypy.
typecheck: build
	@bash tools/typecheck.sh

# The randomised differential tests with a million examples.
fuzz-long: build
	HYPOTHESIS_PROFILE=long $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/test_differential.py

# The mutating-hook fuzzer under the sanitizers for HOOK_MINUTES minutes (default 60), in rounds
# of HOOK_ROUND examples: prints the examples run and any failures (tools/fuzz_hooks.sh).
HOOK_MINUTES ?= 60
HOOK_ROUND   ?= 20000
fuzz-hooks-long: build
	@bash tools/fuzz_hooks.sh $(HOOK_MINUTES) $(HOOK_ROUND)

bench: build $(VENV)/.bench-ready
	$(VENV)/bin/python bench/run.py
	$(VENV)/bin/python bench/align.py

# Aligned lists against jsondiff and deepdiff on the three documents with a few edits (part of `make bench`).
.PHONY: bench-align
bench-align: build $(VENV)/.bench-ready
	$(VENV)/bin/python bench/align.py

bench-quick: build $(VENV)/.bench-ready
	$(VENV)/bin/python bench/run.py --quick

# Instruction counts of corvane against == on three small workloads (callgrind): fails when a
# ratio passes its target by more than 10%.
perf-guard: build
	@command -v valgrind >/dev/null || sudo apt-get install -y --no-install-recommends valgrind \
		|| apt-get install -y --no-install-recommends valgrind
	$(VENV)/bin/python bench/cgguard.py

# Not in CI: generates about 2 GB under build/bench-rows (removed afterwards; KEEP=1 keeps it) and
# takes a quarter of an hour. ROWS=N changes the larger size; the table goes to bench/results/rows.md.
bench-rows: build $(VENV)/.bench-rows-ready
	$(VENV)/bin/python bench/rows.py $(if $(ROWS),--rows $(ROWS)) $(if $(KEEP),--keep)

# The same on 20,000 rows, corvane and DuckDB only (about 20 seconds): checks the counts of both.
bench-rows-quick: build $(VENV)/.bench-rows-ready
	$(VENV)/bin/python bench/rows.py --quick

# Not in CI: corvane-diff rows under SWEEP_RUNS signals and worker kills at random moments (CI runs 24).
SWEEP_RUNS ?= 400
sweep-rows: build
	CORVANE_SWEEP_RUNS=$(SWEEP_RUNS) $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests/tools/test_rows_supervised.py

clean:
	rm -rf build dist $(VENV) $(VENVD)
