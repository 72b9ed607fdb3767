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
# The kit builds against these tools in its venv, without pip's build isolation: the build
# tree (build/<wheel tag>) then keeps its paths, so a rebuild, and the wheel test's build,
# compile only what changed.
BUILD_DEPS  := "pybind11>=2.12" "scikit-build-core>=0.10" ninja
# The strategy engine stand-in: its own distribution, installed beside the kit for the tests
# and the demo (a user's environment has the real engine).
KPQUANT     := standins/kpquant
KPQUANT_SOURCES := $(shell find $(KPQUANT) -name '*.py' -o -name pyproject.toml)

# `make test-latest`: the whole suite in a venv of its own on the newest CPython the kit
# supports (pyenv's, else python3.13 on PATH), with the newest release of every dependency.
LATEST_VENV := .venv-latest
LATEST_PY   := $(LATEST_VENV)/bin/python
PY_NEWEST   := $(firstword $(foreach v,3.13 3.12 3.11,$(lastword $(sort \
                 $(wildcard $(PYENV_ROOT)/versions/$(v).*/bin/python$(v))))))
LATEST_BASE_PY := $(if $(PY_NEWEST),$(PY_NEWEST),python3.13)
# Examples per robustness test there, as a share of the regular run's.
LATEST_ROBUSTNESS_SCALE ?= 0.2
# `make test-lowest`: the same on CPython 3.10 with the lowest release of every dependency
# that pyproject.toml admits (.ci/lowest.txt).
LOWEST_VENV := .venv-lowest
# Developer builds: modules compiled beside their packages under src/ (PYTHONPATH=src).
DEV_BUILD   ?= build/dev
TARGET      ?= all

# Sanitizer run (`make asan`): the modules built by gcc with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan (apart from the regular and in-place builds), then
# the test suites against them in an interpreter that preloads the sanitizer runtime.
ASAN_DIR    := build/asan
ASAN_SITE   := $(abspath $(ASAN_DIR)/site)
# The ASan runtime must be the first library of the process. libstdc++ is preloaded with it:
# the runtime finds the C++ throw it intercepts only if libstdc++ is loaded when it starts, and
# the interpreter does not link it.
ASAN_PRELOAD = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libstdc++.so)
# detect_leaks=0: CPython does not free its own memory at exit, so LeakSanitizer would report
#   the interpreter on every run; growth per call is what tests/leaks measures.
# allocator_may_return_null=1: an allocation too large to serve gives Python its MemoryError
#   instead of ending the run.
# detect_stack_use_after_return=1: catches pointers to a returned function's locals.
# log_path: each process (the tests start some) writes its report to a file of its own, so that
#   none is lost in pytest's output capture or in a child's captured stderr.
ASAN_REPORTS := $(abspath $(ASAN_DIR)/report)
ASAN_OPTIONS_RUN := detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=1
ASAN_OPTIONS_RUN := $(ASAN_OPTIONS_RUN):log_path=$(ASAN_REPORTS)
UBSAN_OPTIONS_RUN := print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_REPORTS)
# PYTHONMALLOC=malloc: Python objects come from malloc, so ASan sees their bounds and lifetimes.
ASAN_ENV     = PYTHONPATH=$(ASAN_SITE) PYTHONMALLOC=malloc LD_PRELOAD="$(ASAN_PRELOAD)" \
               ASAN_OPTIONS=$(ASAN_OPTIONS_RUN) UBSAN_OPTIONS=$(UBSAN_OPTIONS_RUN) \
               VARDEN_ROBUSTNESS_SCALE=$(ASAN_ROBUSTNESS_SCALE)
# Examples per robustness test, as a share of the regular run's (a sanitized call is slower).
ASAN_ROBUSTNESS_SCALE ?= 0.1
# `make docs`: the documentation site, from docs/ and the installed kit's docstrings and typing
# stubs, into docs/_build/html; any warning fails the build. (tests/docs builds and checks a
# site of its own, from scratch.)
DOCS_BUILD  := docs/_build
# What pytest runs under the sanitizers; CI narrows it (see .ci/run).
ASAN_TESTS  ?= tests

.PHONY: test test-latest test-lowest demo bench install inplace clean asan docs

$(PY):
	$(BASE_PY) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The kit first, then the engine stand-in, in two steps: replacing a kit that still carried
# the engine removes the engine's files.
$(STAMP): $(PY) $(SOURCES) $(KPQUANT_SOURCES)
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"
	$(PY) -m pip install --quiet --no-deps --force-reinstall ./$(KPQUANT)
	touch $(STAMP)

install: $(STAMP)

test: install
	$(PY) -m pytest

docs: install
	$(PY) -m sphinx -W --keep-going -q -b html -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/html

test-latest:
	test -x $(LATEST_PY) || $(LATEST_BASE_PY) -m venv $(LATEST_VENV)
	$(LATEST_PY) -m pip install --quiet --upgrade pip $(BUILD_DEPS)
	$(LATEST_PY) -m pip install --quiet --no-build-isolation --upgrade --upgrade-strategy eager \
	  ".[test]"
	$(LATEST_PY) -m pip install --quiet --no-deps --force-reinstall ./$(KPQUANT)
	$(LATEST_PY) -m pip list --format=freeze
	VARDEN_ROBUSTNESS_SCALE=$(LATEST_ROBUSTNESS_SCALE) $(LATEST_PY) -m pytest

test-lowest:
	test -x $(LOWEST_VENV)/bin/python || $(BASE_PY) -m venv $(LOWEST_VENV)
	$(LOWEST_VENV)/bin/python -m pip install --quiet --upgrade pip $(BUILD_DEPS)
	$(LOWEST_VENV)/bin/python -m pip install --quiet --no-build-isolation -c .ci/lowest.txt \
	  -C build-dir=build/lowest ".[test]"
	$(LOWEST_VENV)/bin/python -m pip install --quiet --no-deps --force-reinstall ./$(KPQUANT)
	$(LOWEST_VENV)/bin/python -m pip list --format=freeze
	VARDEN_ROBUSTNESS_SCALE=$(LATEST_ROBUSTNESS_SCALE) $(LOWEST_VENV)/bin/python -m pytest

demo: install
	$(PY) -m varden.sandbox --run examples/tour.py

bench: install
	@for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

inplace: $(PY)
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	$(PY) -m pip install --quiet --no-deps ./$(KPQUANT)
	cmake -S . -B $(DEV_BUILD) -G Ninja -DVARDEN_INPLACE=ON -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build $(DEV_BUILD) --target $(TARGET)

# The leak check is left out: ASan's quarantine of freed memory and PYTHONMALLOC=malloc make
# memory figures describe the sanitizer, not the modules (`make test` runs it); so is the
# wheel's packaging, which holds no code of its own.
asan: install
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	CC=gcc CXX=g++ $(PY) -m pip install --quiet --no-deps --no-build-isolation --upgrade \
	  --target $(ASAN_SITE) . -C build-dir=$(ASAN_DIR)/cmake -C cmake.define.VARDEN_SANITIZE=ON
	rm -f $(ASAN_REPORTS).*
	$(ASAN_ENV) $(PY) .ci/sanitized_modules.py $(ASAN_SITE)
	$(ASAN_ENV) $(PY) -m pytest -m "not leakcheck and not wheel" $(ASAN_TESTS); status=$$?; \
	  if ls $(ASAN_REPORTS).* >/dev/null 2>&1; then cat $(ASAN_REPORTS).*; exit 1; fi; \
	  exit $$status

clean:
	rm -rf build $(VENV) $(LATEST_VENV) $(LOWEST_VENV) $(KPQUANT)/build $(DOCS_BUILD) docs/reference
	find src -name '*.so' -delete
