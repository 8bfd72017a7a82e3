# Entry points: `make demo`, `make test`, `make bench`.
# Every target bootstraps .venv/ with CPython 3.13 and reinstalls the package
# whenever a source file changed; object files are kept in build/ so that a
# rebuild only recompiles what changed.

VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.installed
SOURCES := pyproject.toml CMakeLists.txt $(shell find kernels writer python -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: demo test bench install clean

demo: $(STAMP)
	$(PY) -m radarkit.demo

test: $(STAMP)
	$(PY) -m pytest -q

bench: $(STAMP)
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

install: $(STAMP)

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

clean:
	rm -rf build $(VENV)
