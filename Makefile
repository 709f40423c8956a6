# Two commands run everything on a fresh machine: `make demo` and `make test`.
VENV   := .venv
PYTHON := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests

.PHONY: all setup demo test test-cpp test-python bench clean

all: test

setup:
	@VENV=$(VENV) bash scripts/bootstrap.sh

demo: setup
	$(PYTHON) examples/local_demo.py

test: setup test-cpp test-python

test-cpp:
	cmake -S . -B $(CPP_BUILD) -DTESSEL_BUILD_TESTS=ON -DTESSEL_BUILD_MODULES=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(CPP_BUILD) --parallel 2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

test-python:
	$(PYTHON) -m pytest

bench: setup
	@for b in $(wildcard bench/*.py); do echo "== $$b"; $(PYTHON) $$b || exit 1; done

clean:
	rm -rf build $(VENV)
