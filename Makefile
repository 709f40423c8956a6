# Two commands run everything on a fresh machine: `make demo` and `make test`.
# PYTHON_VERSION picks the interpreter (3.11, 3.12 or 3.13; default 3.12);
# each version has an environment of its own.
PYTHON_VERSION ?= 3.12
ifeq ($(PYTHON_VERSION),3.12)
VENV ?= .venv
else
VENV ?= .venv-$(PYTHON_VERSION)
endif
PYTHON := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests

# Everything that goes into the installed package: a change to any of them
# reinstalls it, nothing else does.
PACKAGE_SOURCES := $(shell find src python tests/bind_module -type f \
	\( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' -o -name py.typed \) \
	-not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml README.md LICENSE scripts/bootstrap.sh
INSTALLED := $(VENV)/.tessel-installed

# The sanitizer build: its own environment and build trees.
ASAN_VENV := .venv-sanitize
ASAN_CPP_BUILD := build/cpp-sanitize
ASAN_INSTALLED := $(ASAN_VENV)/.tessel-installed
# The interpreter is not instrumented: the runtime is preloaded, Python's own
# allocator is bypassed so that ASan sees every object, and the interpreter's
# deliberate leaks at exit are not reported.
SANITIZE_ENV := TESSEL_SANITIZE=1 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

STUBBED_MODULES := tessel.external.offload_task tessel.external.plexum tessel.external.grasshopper tessel.external.tressa

SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c

step = @printf '\n== %s\n' "$(1)"

.PHONY: all setup demo test test-cpp test-python typecheck wheel test-sanitize bench clean

all: test

setup: $(INSTALLED)

$(INSTALLED): $(PACKAGE_SOURCES)
	$(call step,setting up $(VENV) (Python $(PYTHON_VERSION)) and installing the package)
	@VENV=$(VENV) PYTHON_VERSION=$(PYTHON_VERSION) bash scripts/bootstrap.sh
	@touch $@

demo: setup
	$(call step,demo: a concrete frame built with the model builder and computed on the local platform)
	$(PYTHON) examples/plexum_frame.py
	$(call step,demo: a slab on beams and columns meshed and computed on the local platform)
	$(PYTHON) examples/plexum_slab.py
	$(call step,demo: a two-storey building frame with floor slabs under gravity and wind)
	$(PYTHON) examples/plexum_building.py

test: setup test-cpp typecheck test-python wheel

test-cpp:
	$(call step,C++ core: GoogleTest)
	@cmake -S . -B $(CPP_BUILD) -DTESSEL_BUILD_TESTS=ON -DTESSEL_BUILD_MODULES=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(CPP_BUILD) --parallel 2
	@ctest --test-dir $(CPP_BUILD) --output-on-failure | tail -n 3

# The checked-in stubs against the built modules, then the package, the
# examples and a typed sample application under mypy --strict and pyright.
typecheck: setup
	$(call step,stubs against the modules: mypy.stubtest)
	$(PYTHON) -m mypy.stubtest --mypy-config-file pyproject.toml $(STUBBED_MODULES)
	$(call step,mypy --strict: python/tessel examples tests/typing)
	$(PYTHON) -m mypy python/tessel examples tests/typing
	$(call step,pyright: python/tessel examples tests/typing)
	$(VENV)/bin/pyright -p pyrightconfig.json --pythonpath $(PYTHON)

test-python: setup
	$(call step,Python suite: pytest)
	$(PYTHON) -m pytest

# A wheel as users get it, from its own build tree, checked for test-only content.
# The terminal shows the compiler steps as they run; the whole pip output goes to the log.
WHEEL_LOG := build/logs/wheel.log
wheel: setup
	$(call step,wheel: build into dist/ and check its content (compiler steps below; full log: $(WHEEL_LOG)))
	@rm -f dist/tessel_external-*.whl
	@mkdir -p $(dir $(WHEEL_LOG))
	@$(PYTHON) -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps -w dist . 2>&1 \
		| tee $(WHEEL_LOG) | awk '/^ *\[[0-9]+\/[0-9]+\] / { sub(/^ */, "  "); print; fflush() }' \
		|| { tail -n 60 $(WHEEL_LOG) >&2; echo "wheel: the build failed; the whole output is in $(WHEEL_LOG)" >&2; exit 1; }
	$(PYTHON) scripts/check_wheel.py dist/tessel_external-*.whl

# GoogleTest and the whole Python suite against instrumented builds.
test-sanitize: $(ASAN_INSTALLED)
	$(call step,C++ core under ASan/UBSan: GoogleTest)
	@cmake -S . -B $(ASAN_CPP_BUILD) -DTESSEL_BUILD_TESTS=ON -DTESSEL_BUILD_MODULES=OFF -DTESSEL_SANITIZE=ON \
		-DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(ASAN_CPP_BUILD) --parallel 2
	@ctest --test-dir $(ASAN_CPP_BUILD) --output-on-failure | tail -n 3
	$(call step,Python suite under ASan/UBSan: pytest)
	$(SANITIZE_ENV) $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider

$(ASAN_INSTALLED): $(PACKAGE_SOURCES)
	$(call step,setting up $(ASAN_VENV) with modules instrumented by ASan and UBSan)
	@VENV=$(ASAN_VENV) PYTHON_VERSION=$(PYTHON_VERSION) BUILD_DIR=build/sanitize SANITIZE=1 bash scripts/bootstrap.sh
	@touch $@

bench: setup
	@for b in $(wildcard bench/*.py); do echo "== $$b"; $(PYTHON) $$b || exit 1; done

clean:
	rm -rf build dist .venv .venv-3.11 .venv-3.13 $(ASAN_VENV)
