# One entry point for the whole set-up: every target installs what it needs on demand.
#   make demo    diff two bundled JSON documents and print the differences
#   make test    build the module and run the test suite (release and debug interpreters)

PY       ?= python3.14
PYD      ?= python3.14d
VENV     := .venv
VENVD    := .venv-debug
WERROR   ?= OFF
PIP_BUILD_FLAGS := --no-build-isolation --quiet --disable-pip-version-check
CMAKE_DEFINES = -Ccmake.define.CORVANE_WERROR=$(WERROR)
BUILD_DEPS := scikit-build-core cmake ninja
TEST_DEPS  := pytest hypothesis

.PHONY: all toolchain build build-debug demo test test-release test-debug clean

all: build

toolchain:
	@bash tools/setup-toolchain.sh

$(VENV)/.ready: tools/setup-toolchain.sh
	@bash tools/setup-toolchain.sh
	$(PY) -m venv $(VENV)
	$(VENV)/bin/pip install --quiet --disable-pip-version-check $(BUILD_DEPS) $(TEST_DEPS)
	@touch $@

$(VENVD)/.ready: tools/setup-toolchain.sh
	@bash tools/setup-toolchain.sh
	$(PYD) -m venv $(VENVD)
	$(VENVD)/bin/pip install --quiet --disable-pip-version-check $(BUILD_DEPS) $(TEST_DEPS)
	@touch $@

build: $(VENV)/.ready
	$(VENV)/bin/pip install $(PIP_BUILD_FLAGS) $(CMAKE_DEFINES) .

build-debug: $(VENVD)/.ready
	$(VENVD)/bin/pip install $(PIP_BUILD_FLAGS) $(CMAKE_DEFINES) -Ccmake.build-type=Debug .

# corvane-diff exits 1 when the documents differ, as they do here.
demo: build
	@$(VENV)/bin/corvane-diff examples/data/before.json examples/data/after.json || [ $$? -eq 1 ]

test: test-release test-debug

test-release: build
	$(VENV)/bin/python -m pytest -q

# The debug interpreter repeats every test and fails any whose total reference count grows.
test-debug: build-debug
	$(VENVD)/bin/python -m pytest -q --leak-check

clean:
	rm -rf build dist $(VENV) $(VENVD)
