# make demo / make test do every set-up step they need on a fresh machine.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := liblmdb-dev libssl-dev pkg-config robin-map-dev g++
PY_PACKAGES := numpy pytest hypothesis lmdb scikit-build-core ninja "cmake>=3.26"
CORE_BUILD := build/core-tests

.PHONY: all deps venv build test test-core test-py demo bench clean

all: build

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing system packages:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "missing system packages:$$missing -- run: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PY_PACKAGES)
	touch $@

venv: $(VENV)/.ready

build: deps venv
	$(PY) -m pip install -q --no-build-isolation --no-deps .

test-core: deps venv
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DZANTH_BUILD_TESTS=ON -DPython_EXECUTABLE=$(PY) >/dev/null
	$(VENV)/bin/cmake --build $(CORE_BUILD) --target zanth_core_tests
	$(CORE_BUILD)/zanth_core_tests

test-py: build
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider .

test: test-core test-py

demo: build
	rm -rf demo-store
	$(PY) examples/demo.py demo-store

bench: build
	$(PY) -m pip install -q faiss-cpu hnswlib usearch || echo "some benchmark peers did not install"
	for b in benchmarks/bench_*.py; do $(PY) $$b || exit 1; done

clean:
	rm -rf build demo-store
