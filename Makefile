# Entry points: `make demo`, `make test`, `make bench`, `make sanitize`,
# `make wheel-check`.
# Every target bootstraps .venv/ with CPython 3.13 and reinstalls the package
# whenever a source file changed; object files are kept in build/ so that a
# rebuild only recompiles what changed.

VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.installed
SOURCES := pyproject.toml CMakeLists.txt $(shell find kernels writer polar python stubs -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: demo test bench install clean sanitize sanitize-address sanitize-thread lint werror wheel-check

demo: $(STAMP)
	$(PY) -m radarkit.demo

test: $(STAMP)
	$(PY) -m pytest -q

bench: $(STAMP)
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

install: $(STAMP)

# The package as a user gets it: `pip wheel .` with build isolation, the
# wheel installed into a new virtual environment in a temporary directory
# (nothing of the checkout on its path), then tools/wheel_smoke.py run there.
wheel-check: | $(PY)
	@tmp=$$(mktemp -d) && trap 'rm -rf "$$tmp"' EXIT && set -e && \
	py313=$$(tools/find-python313) && \
	$(PY) -m pip wheel -q --no-deps -w "$$tmp/dist" . && \
	"$$py313" -m venv "$$tmp/venv" && \
	cd "$$tmp" && venv/bin/python -m pip install -q dist/radarkit-*.whl && \
	venv/bin/python -I $(CURDIR)/tools/wheel_smoke.py

$(PY):
	@py313=$$(tools/find-python313) || exit 1; \
	echo "creating $(VENV) with $$py313"; \
	"$$py313" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Build requirements are read from pyproject.toml and installed once, so the
# package can be built without isolation and keep its build directory.
$(STAMP): $(SOURCES) | $(PY)
	mkdir -p build
	$(PY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))' > build/build-requires.txt
	$(PY) -m pip install -q -r build/build-requires.txt
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/release '.[test]'
	touch $@

# Checks only, nothing is rewritten: Python formatting and lint (ruff), C++
# formatting of every tracked source (clang-format), the type stubs against
# the compiled modules (stubtest; tests/test_stubs.py compares the
# signatures) and the annotations of the whole pure-Python package (mypy
# --strict). The
# tools are pinned in the `lint` extra and installed beside the package.
# Fix with `ruff format`, `ruff check --fix` and `clang-format -i` from
# .venv/bin.
LINT_STAMP := $(VENV)/.lint-installed

lint: $(STAMP) $(LINT_STAMP)
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/ruff check .
	git ls-files -z '*.cpp' '*.hpp' '*.c' '*.h' | xargs -0 $(VENV)/bin/clang-format --dry-run -Werror
	MYPYPATH=stubs $(PY) -m mypy.stubtest --mypy-config-file pyproject.toml _kestrin _marlode _polar
	MYPYPATH=stubs $(PY) -m mypy --strict --config-file pyproject.toml python/radarkit

$(LINT_STAMP): pyproject.toml | $(PY)
	mkdir -p build
	$(PY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"]))' > build/lint-requires.txt
	$(PY) -m pip install -q -r build/lint-requires.txt
	touch $@

# Both modules compiled with every warning an error, plus -Wconversion,
# -Wshadow and -pedantic; nothing is installed.
werror: $(STAMP)
	cmake -S . -B build/werror -DRADARKIT_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build build/werror -j 2

# Sanitizer lanes: the same sources built into .venv-asan/ (AddressSanitizer
# with UndefinedBehaviorSanitizer, every test but those of the pure-Python
# layer) and .venv-tsan/ (ThreadSanitizer, the multithreaded tests), each
# with its own build dir.
# CPython is not instrumented, so the sanitizer runtime is preloaded into it;
# leak detection is off because the interpreter keeps its memory at exit. Any
# report ends the run with a failure. Hypothesis runs fewer examples there.
# The C++ runtime is preloaded with it: the interpreter does not link it, and
# the sanitizer must find the real exception functions when it starts.
CXX_RT  = $(shell $(CXX) -print-file-name=libstdc++.so)
ASAN_RT = $(shell $(CXX) -print-file-name=libasan.so) $(CXX_RT)
TSAN_RT = $(shell $(CXX) -print-file-name=libtsan.so) $(CXX_RT)

sanitize: sanitize-address sanitize-thread

sanitize-address: .venv-asan/.installed
	LD_PRELOAD="$(ASAN_RT)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	HYPOTHESIS_PROFILE=sanitize .venv-asan/bin/python -m pytest -q -p no:cacheprovider --capture=sys \
		-m "not python_layer"

sanitize-thread: .venv-tsan/.installed
	LD_PRELOAD="$(TSAN_RT)" \
	TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	HYPOTHESIS_PROFILE=sanitize .venv-tsan/bin/python -m pytest -q -p no:cacheprovider --capture=sys -m threads

.PRECIOUS: .venv-%/bin/python
.venv-%/bin/python:
	@py313=$$(tools/find-python313) || exit 1; \
	echo "creating .venv-$* with $$py313"; \
	"$$py313" -m venv .venv-$*
	.venv-$*/bin/python -m pip install -q --upgrade pip

.venv-asan/.installed: SANITIZE := address
.venv-tsan/.installed: SANITIZE := thread
.venv-%/.installed: $(SOURCES) | .venv-%/bin/python
	mkdir -p build
	.venv-$*/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))' > build/build-requires.txt
	.venv-$*/bin/python -m pip install -q -r build/build-requires.txt
	CXX=$(CXX) .venv-$*/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/$* \
		-Ccmake.build-type=RelWithDebInfo -Ccmake.define.SANITIZE=$(SANITIZE) '.[test]'
	touch $@

clean:
	rm -rf build $(VENV) .venv-asan .venv-tsan
