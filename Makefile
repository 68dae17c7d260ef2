# The two set-up commands are `make demo` and `make test`; everything they need
# is installed from here (Debian packages through apt, Python ones from PyPI).
PYTHON ?= python3
# The interpreters a wheel is built for, and the installed suite run on;
# scripts/find_python.sh finds each (PYTHON_3_12=... names one by hand).
# The development environments (.venv and the others) use PYTHON.
PYTHON_VERSIONS ?= 3.11 3.12 3.13
FIND_PYTHON := scripts/find_python.sh
VENV := .venv
PY := $(VENV)/bin/python
VENV_NP1 := .venv-numpy1
VENV_ASAN := .venv-asan
VENV_WHEEL := .venv-wheel
CMAKE_GEN := -G Ninja
# Building needs xxhash's header; the C++ tests need GoogleTest too.
BUILD_DEBIAN_PACKAGES := libxxhash-dev
DEBIAN_PACKAGES := $(BUILD_DEBIAN_PACKAGES) libgtest-dev
FUZZ_DEBIAN_PACKAGES := clang-14 libclang-rt-14-dev
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
# Test processes run side by side: pytest workers (pytest-xdist) and ctest jobs.
JOBS ?= $(shell nproc)
# The dask cluster tests share one pytest worker (--dist loadgroup).
PYTEST := -m pytest -q -n $(JOBS) --dist loadgroup
CTEST := ctest --output-on-failure -j$(JOBS)
# What the sdist, and so the wheel, is made of.
BUILD_INPUTS := pyproject.toml CMakeLists.txt README.md LICENSE $(shell find src -type f)
# The release in dist/: one sdist, and one wheel per interpreter built from
# it, each marked done by a stamp; PYTHON's wheel is the one `make test` needs.
SDIST := dist/.sdist
wheel_stamp = dist/.wheel-$(1)
WHEELS := $(foreach version,$(PYTHON_VERSIONS),$(call wheel_stamp,$(version)))
DEV_WHEEL := $(call wheel_stamp,$(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])'))
# The wheel in dist/ that suits an environment's interpreter, whatever its
# file is called.
INSTALL_WHEEL := -m pip install -q --no-deps --force-reinstall --no-index --find-links dist --only-binary :all: quorix
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)"
BENCH_READY := $(VENV)/.bench-ready

.PHONY: demo test test-python test-leaks test-numpy1 test-cpp test-stub install wheel test-installed test-asan test-tsan sanitize tsan fuzz bench bench-python bench-engine bench-state bench-frames bench-cardinality bench-unusual bench-numpy-text bench-text-encoder bench-arrow bench-dask build-deps system-deps fuzz-deps clean

demo: install
	$(PY) examples/quickstart.py
	$(PY) examples/text_encoder.py
	$(PY) examples/polars_frames.py

test: install test-python test-stub test-numpy1 test-cpp test-leaks

# The header-only xxhash, which a build needs; GoogleTest beside it for the
# C++ tests.
build-deps:
	@dpkg -s $(BUILD_DEBIAN_PACKAGES) >/dev/null 2>&1 || \
	  { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(BUILD_DEBIAN_PACKAGES); }

system-deps:
	@dpkg -s $(DEBIAN_PACKAGES) >/dev/null 2>&1 || \
	  { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(DEBIAN_PACKAGES); }

# Each environment: a virtual environment of PYTHON with its requirements file.
$(VENV)/.ready $(VENV_ASAN)/.ready: requirements/test.txt
$(VENV_NP1)/.ready: requirements/test-numpy1.txt
$(VENV_WHEEL)/.ready: requirements/wheel.txt
%/.ready:
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install -q --upgrade pip
	$*/bin/python -m pip install -q -r $(filter requirements/%,$^)
	touch $@

# What the Python benchmarks run beside quorix, installed once into .venv.
$(BENCH_READY): requirements/bench.txt $(VENV)/.ready
	$(PY) -m pip install -q -r requirements/bench.txt
	touch $@

# The one release build: the sdist, and from it (which proves it builds) a
# wheel per interpreter, each repaired into a manylinux one, all in dist/.
# Every environment of an interpreter installs its wheel: the module finds
# NumPy through the interpreter at run time, so one build serves NumPy 1 and 2.
$(SDIST): $(BUILD_INPUTS) $(VENV_WHEEL)/.ready | build-deps
	rm -rf build/dist-raw dist
	$(VENV_WHEEL)/bin/python -m build --sdist --outdir dist .
	touch $@

# Each interpreter builds its wheel in a virtual environment of its own, so
# pip is there whatever the interpreter came with.
$(call wheel_stamp,%): $(SDIST)
	python=$$($(FIND_PYTHON) $*) && rm -rf build/dist-raw/$* build/wheel-env-$* && \
	  "$$python" -m venv build/wheel-env-$* && \
	  build/wheel-env-$*/bin/python -m pip install -q --upgrade pip && \
	  build/wheel-env-$*/bin/python -m pip wheel -q --no-deps --wheel-dir build/dist-raw/$* dist/quorix-*.tar.gz
	PATH="$(CURDIR)/$(VENV_WHEEL)/bin:$$PATH" $(VENV_WHEEL)/bin/auditwheel repair --wheel-dir dist build/dist-raw/$*/*.whl
	for raw in build/dist-raw/$*/*.whl; do \
	  $(VENV_WHEEL)/bin/auditwheel show dist/$$(basename "$$raw" | cut -d- -f1-4)-*.whl || exit 1; done
	touch $@

# A release is built afresh: the sdist holds tests/, bench/ and examples/ too,
# which the stamps do not watch.
wheel:
	rm -rf dist
	$(MAKE) $(WHEELS)
	ls -l dist

install: system-deps $(VENV)/.ready $(DEV_WHEEL)
	$(PY) $(INSTALL_WHEEL)

test-python: install
	$(PY) $(PYTEST)

# The type stubs against the installed modules, and the examples under mypy --strict.
test-stub: install
	$(PY) -m mypy.stubtest quorix quorix_pipeline
	$(PY) -m mypy --strict --cache-dir build/mypy-cache examples/quickstart.py examples/text_encoder.py examples/polars_frames.py

# Many calls of every kind: no live object and no traced memory may grow.
test-leaks: install
	$(PY) bench/leak_check.py

test-numpy1: $(VENV_NP1)/.ready $(DEV_WHEEL)
	$(VENV_NP1)/bin/python $(INSTALL_WHEEL)
	$(VENV_NP1)/bin/python $(PYTEST)

test-cpp: system-deps
	cmake -S . -B build/cpp $(CMAKE_GEN) -DQUORIX_BUILD_MODULE=OFF -DQUORIX_BUILD_TESTS=ON
	cmake --build build/cpp
	$(CTEST) --test-dir build/cpp

# Each interpreter's wheel installed with pip alone into a fresh virtual
# environment of that interpreter, and the suite, the stub check and the
# example run against it from outside the source tree. The sdist is proven by
# the wheels built from it.
test-installed: $(WHEELS)
	for version in $(PYTHON_VERSIONS); do \
	  tag=cp$$(echo $$version | tr -d .); \
	  tests/installed/check_installed.sh "$$($(FIND_PYTHON) $$version)" dist/quorix-*-$$tag-$$tag-*.whl || exit 1; \
	done

# The suite, then the C++ tests, against one build with AddressSanitizer +
# UndefinedBehaviorSanitizer: the module and the test binary come from the
# same build folder. Property tests run fewer examples (HYPOTHESIS_PROFILE).
# The dask cluster tests stay out: their workers run the code the other tests
# already run here, in processes that would each load the sanitizers anew.
test-asan: system-deps $(VENV_ASAN)/.ready
	$(VENV_ASAN)/bin/python -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/asan \
	  -Ccmake.define.QUORIX_SANITIZE=ON -Ccmake.define.QUORIX_BUILD_TESTS=ON -Ccmake.build-type=RelWithDebInfo .
	HYPOTHESIS_PROFILE=sanitize $(SANITIZER_ENV) $(VENV_ASAN)/bin/python $(PYTEST) -p no:cacheprovider -m "not cluster"
	$(CTEST) --test-dir build/asan

# The C++ tests that run code on several threads (those not labelled
# single_thread in CMakeLists.txt) under ThreadSanitizer.
test-tsan: system-deps
	cmake -S . -B build/tsan $(CMAKE_GEN) -DQUORIX_BUILD_MODULE=OFF -DQUORIX_BUILD_TESTS=ON \
	  -DQUORIX_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/tsan
	TSAN_OPTIONS=halt_on_error=1 $(CTEST) --test-dir build/tsan -LE single_thread

# The sanitizer targets' earlier names.
sanitize: test-asan
tsan: test-tsan

# clang and libFuzzer with the sanitizer runtimes, for the fuzz targets.
fuzz-deps: system-deps
	@for package in $(FUZZ_DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${db:Status-Abbrev}' $$package 2>/dev/null | grep -q '^ii' || missing=1; \
	done; \
	[ -z "$$missing" ] || \
	  { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(FUZZ_DEBIAN_PACKAGES); }

# Every fuzz target (or those in FUZZ_TARGETS) for FUZZ_SECONDS each; an input
# a target fails on is kept in tests/fuzz/regressions/<target>/.
fuzz: fuzz-deps
	tests/fuzz/run_fuzz.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Every benchmark, one after the other.
bench: bench-python bench-engine bench-state bench-frames bench-cardinality bench-unusual bench-numpy-text \
  bench-text-encoder bench-arrow bench-dask

# Beside pandas and scikit-learn.
bench-python: install $(BENCH_READY)
	$(PY) bench/run.py

# Millions of distinct texts beside polars, each case in a fresh process.
bench-cardinality: install $(BENCH_READY)
	$(PY) bench/cardinality.py

# DataFrames with text columns stored four ways, beside polars and pandas.factorize.
bench-frames: install $(BENCH_READY)
	$(PY) bench/frames.py

# Unusual text columns (1 MiB texts, a shared 100-byte prefix, one text, only
# markers, NUL bytes) at full size, checked exactly, beside pandas.factorize.
bench-unusual: install $(BENCH_READY)
	$(PY) bench/unusual_at_scale.py

# NumPy's own text arrays ('U', 'S', StringDType) beside object arrays and
# pandas.factorize, and a 3.8 GB 'U12' memmap (written under build/, then
# deleted) encoded cold with its peak anonymous memory.
bench-numpy-text: install $(BENCH_READY)
	$(PY) bench/numpy_text.py

# TextEncoder's transform of a new frame beside scikit-learn, pandas and
# polars; one-row latency, partial_fit in chunks, peak memory.
bench-text-encoder: install $(BENCH_READY)
	$(PY) bench/text_encoder.py

# TextEncoder on polars frames and a LazyFrame over Parquet files, beside
# polars-ds, scikit-learn and quorix through to_pandas().
bench-arrow: install $(BENCH_READY)
	$(PY) bench/arrow_tables.py

# TextEncoder on a local dask cluster over Parquet files, beside copying the
# files and dask-ml.
bench-dask: install $(BENCH_READY)
	$(PY) bench/dask_cluster.py

bench-engine: system-deps
	bench/run_engine_bench.sh

bench-state: system-deps
	cmake -S . -B build/engine $(CMAKE_GEN) -DQUORIX_BUILD_MODULE=OFF -DQUORIX_BUILD_BENCH=ON
	cmake --build build/engine --target state_bytes_bench
	build/engine/state_bytes_bench

clean:
	rm -rf build dist $(VENV) $(VENV_NP1) $(VENV_ASAN) $(VENV_WHEEL)
