# Two commands for a fresh machine: `make demo` and `make test`.
VENV        := .venv
PY          := $(VENV)/bin/python
# Prefer CPython 3.10 from pyenv; fall back to the default python3.
PYENV_ROOT  := $(shell pyenv root 2>/dev/null)
PY310       := $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.10.*/bin/python3.10)))
BASE_PY     := $(if $(PY310),$(PY310),python3)
STAMP       := $(VENV)/.installed
SOURCES     := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name 'CMakeLists.txt') \
               CMakeLists.txt pyproject.toml
# Developer builds: modules compiled beside their packages under src/ (PYTHONPATH=src).
DEV_BUILD   ?= build/dev
TARGET      ?= all

.PHONY: test demo bench install inplace clean

$(PY):
	$(BASE_PY) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install --quiet ".[test]"
	touch $(STAMP)

install: $(STAMP)

test: install
	$(PY) -m pytest

demo: install
	$(PY) -m varden.sandbox --run examples/tour.py

bench: install
	@for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

inplace: $(PY)
	$(PY) -m pip install --quiet "pybind11>=2.12" "scikit-build-core>=0.10" ninja
	cmake -S . -B $(DEV_BUILD) -G Ninja -DVARDEN_INPLACE=ON -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build $(DEV_BUILD) --target $(TARGET)

clean:
	rm -rf build $(VENV)
	find src -name '*.so' -delete
