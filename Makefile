# One entry point for the whole set-up: every target installs what it needs on demand.
#   make demo    diff two bundled JSON documents and print the differences
#   make test    build the module and run every check that CI runs

PY       ?= python3.14
PYD      ?= python3.14d
VENV     := .venv
VENVD    := .venv-debug
WERROR   ?= OFF
PIP      := pip install --quiet --disable-pip-version-check
PIP_BUILD_FLAGS := --no-build-isolation --quiet --disable-pip-version-check
CMAKE_DEFINES = -Ccmake.define.CORVANE_WERROR=$(WERROR)
BUILD_DEPS := scikit-build-core cmake ninja
TEST_DEPS  := pytest hypothesis mypy
BENCH_DEPS := deepdiff dictdiffer jsondiff matplotlib

.PHONY: all toolchain build build-debug demo test test-release test-debug test-asan typecheck \
        fuzz-long fuzz-hooks-long bench bench-quick clean

all: build

toolchain:
	@bash tools/setup-toolchain.sh

$(VENV)/.ready: tools/setup-toolchain.sh
	@bash tools/setup-toolchain.sh
	$(PY) -m venv $(VENV)
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

build: $(VENV)/.ready
	$(VENV)/bin/pip install $(PIP_BUILD_FLAGS) $(CMAKE_DEFINES) .

build-debug: $(VENVD)/.ready
	$(VENVD)/bin/pip install $(PIP_BUILD_FLAGS) $(CMAKE_DEFINES) -Ccmake.build-type=Debug .

# corvane-diff exits 1 when the documents differ, as they do here.
demo: build
	@$(VENV)/bin/corvane-diff examples/data/before.json examples/data/after.json || [ $$? -eq 1 ]

test: test-release test-debug test-asan typecheck bench-quick

test-release: build
	$(VENV)/bin/python -m pytest -q

# The debug interpreter repeats every test and fails any whose total reference count grows.
test-debug: build-debug
	$(VENVD)/bin/python -m pytest -q --leak-check

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

bench-quick: build $(VENV)/.bench-ready
	$(VENV)/bin/python bench/run.py --quick

clean:
	rm -rf build dist $(VENV) $(VENVD)
