# Two commands run everything on a fresh machine: `make demo` and `make test`.
VENV   := .venv
PYTHON := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests

# The sanitizer build: its own environment and build trees.
ASAN_VENV := .venv-sanitize
ASAN_CPP_BUILD := build/cpp-sanitize
# The interpreter is not instrumented: the runtime is preloaded, Python's own
# allocator is bypassed so that ASan sees every object, and the interpreter's
# deliberate leaks at exit are not reported.
SANITIZE_ENV := TESSEL_SANITIZE=1 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all setup demo test test-cpp test-python test-sanitize bench clean

all: test

setup:
	@VENV=$(VENV) bash scripts/bootstrap.sh

demo: setup
	$(PYTHON) examples/plexum_frame.py

test: setup test-cpp test-python

test-cpp:
	cmake -S . -B $(CPP_BUILD) -DTESSEL_BUILD_TESTS=ON -DTESSEL_BUILD_MODULES=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(CPP_BUILD) --parallel 2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

test-python:
	$(PYTHON) -m pytest

# GoogleTest and the whole Python suite against instrumented builds.
test-sanitize:
	@VENV=$(ASAN_VENV) BUILD_DIR=build/sanitize SANITIZE=1 bash scripts/bootstrap.sh
	cmake -S . -B $(ASAN_CPP_BUILD) -DTESSEL_BUILD_TESTS=ON -DTESSEL_BUILD_MODULES=OFF -DTESSEL_SANITIZE=ON \
		-DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(ASAN_CPP_BUILD) --parallel 2
	ctest --test-dir $(ASAN_CPP_BUILD) --output-on-failure
	$(SANITIZE_ENV) $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider

bench: setup
	@for b in $(wildcard bench/*.py); do echo "== $$b"; $(PYTHON) $$b || exit 1; done

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
